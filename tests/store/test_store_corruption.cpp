// Damaged store files opened through the table as the program opens them: a small
// store of the program's own schema, in both forms, written in the ordering
// "NAME;LOGIN" (so the binary form carries its order), with one bit flipped at every
// byte and cut short at every byte. Each copy is refused with RecordTableError or
// read back as valid records, also when opened with that ordering in force; nothing
// else is thrown, nothing crashes, and the damaged file is never written, not even
// when the table opened it and closed.

#include "StoreFormat.h"
#include "table_test_support.h"

#include <gtest/gtest.h>

#include <charconv>
#include <climits>
#include <filesystem>
#include <iostream>
#include <string>
#include <typeinfo>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace tabletest;

namespace {

// Characters in UTF-8 text: every byte that does not continue a sequence.
std::size_t characters(const std::string& text)
{
    std::size_t count = 0;
    for (const char c : text)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// A handful of records with awkward values: full-size multi-byte text, markup,
// quotes, line ends, control characters, empty against null, the integer limits and
// the untyped record type -1.
void fillAwkwardStore(RecordTable& table)
{
    std::string fullName;
    for (int i = 0; i < 100; ++i)
        fullName += i % 2 ? "é" : "x";
    std::string controls;
    for (int c = 1; c < 0x20; ++c)
        controls += static_cast<char>(c);
    insert(table, fullName, "jo", "p<a>&s\"s'w]]>", "", 0);
    insert(table, "Memorable", "bank\r\nline", controls, "notes\nmore\r", 1);
    insert(table, "Serial", std::string(40, 'L'), std::string(50, 'P'), std::string(256, 'n'), 2);
    table.insertValues({std::string(), std::string("日本語"), std::string("😀"), std::string("&amp;"), -1});
    table.insertValues({std::string("only a name")});
    table.insertValues({std::string("a"), std::string("b"), std::string("c"), std::string("d"), INT32_MIN});
    table.insertValues({std::string("z"), std::string("y"), std::string("x"), std::string("w"), INT32_MAX});
}

#ifdef _WIN32

// No inode here: a file written again has a new last write time (kept to 100 ns)
// or a new size.
struct FileIdentity {
    std::filesystem::file_time_type modified{};
    std::uintmax_t size = 0;
};

FileIdentity identityOf(const std::string& path)
{
    std::error_code error;
    return {std::filesystem::last_write_time(path, error), std::filesystem::file_size(path, error)};
}

bool sameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.modified == b.modified && a.size == b.size;
}

#else

struct FileIdentity {
    ino_t inode = 0;
    timespec modified{};
    off_t size = 0;
};

FileIdentity identityOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return {info.st_ino, info.st_mtim, info.st_size};
}

bool sameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.inode == b.inode && a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec;
}

#endif

// Checks an open table as the grid and the record commands read it: every row and
// every field readable, integers in range, text within its field's size, the count
// the same by rows, by walking and by decoding the file. Returns what is wrong, or
// the empty text.
std::string inconsistency(RecordTable& table, std::size_t decodedCount)
{
    const std::vector<FieldDef>& fields = table.fields();
    const int count = table.recordCount();
    if (count < 0 || static_cast<std::size_t>(count) != decodedCount)
        return "count " + std::to_string(count) + " against " + std::to_string(decodedCount) + " decoded";
    for (int row = 0; row < count; ++row) {
        for (int column = 0; column < static_cast<int>(fields.size()); ++column) {
            const FieldDef& field = fields[static_cast<std::size_t>(column)];
            const std::string shown = table.rowText(row, column);
            if (field.kind == FieldKind::Integer) {
                std::int32_t value = 0;
                const auto [end, error] = std::from_chars(shown.data(), shown.data() + shown.size(), value);
                if (!shown.empty() && (error != std::errc() || end != shown.data() + shown.size()))
                    return "row " + std::to_string(row) + " field " + field.name + ": not an integer: " + shown;
            } else if (field.size < 0 || characters(shown) > static_cast<std::size_t>(field.size)) {
                return "row " + std::to_string(row) + " field " + field.name + ": " +
                       std::to_string(characters(shown)) + " characters in a field of size " +
                       std::to_string(field.size);
            }
        }
    }
    // The current record walks over every row and reads every field by name.
    int walked = 0;
    if (count > 0) {
        table.moveFirst();
        do {
            ++walked;
            for (const FieldDef& field : fields) {
                if (field.kind == FieldKind::Integer)
                    (void)table.fieldInteger(field.name);
                else
                    (void)table.fieldText(field.name);
            }
        } while (table.moveBy(1) == 1 && walked <= count);
    }
    if (walked != count)
        return "walked " + std::to_string(walked) + " of " + std::to_string(count) + " records";
    return {};
}

// Every row's every field as shown, in the ordering in force.
std::vector<std::string> allRows(const RecordTable& table)
{
    std::vector<std::string> result;
    for (int row = 0; row < table.recordCount(); ++row) {
        std::string shown;
        for (int column = 0; column < static_cast<int>(table.fields().size()); ++column)
            shown += table.rowText(row, column) + "|";
        result.push_back(shown);
    }
    return result;
}

// Opened as the list switch opens a list, with the ordering already in force, the
// store shows the rows that ordering it once open shows.
void checkOpenedInOrder(const std::string& path, RecordTable& table, std::size_t decodedCount, const std::string& what)
{
    std::vector<std::string> expected;
    try {
        table.setOrdering("NAME;LOGIN");
        expected = allRows(table);
    } catch (const RecordTableError&) {
        return;  // a damaged name: no such ordering
    }
    RecordTable inOrder("viewDB");
    inOrder.setFileName(path);
    inOrder.setOrdering("NAME;LOGIN");
    inOrder.open();
    EXPECT_EQ(inconsistency(inOrder, decodedCount), "") << what << ", opened in order";
    EXPECT_EQ(allRows(inOrder), expected) << what << ", opened in order";
}

struct SweepFigures {
    int refused = 0, opened = 0;
};

// Writes damaged to path, opens it as the main window does, checks what it reads, and
// checks that the file is exactly as it was after the table is gone.
void openDamaged(const std::string& path, const std::string& damaged, const std::string& what,
                 SweepFigures& figures)
{
    // A new file each time: truncating and rewriting one in place makes some file
    // systems flush it to the disk at every close, which slows the sweep tenfold.
    std::filesystem::remove(path);
    writeWhole(path, damaged);
    const FileIdentity before = identityOf(path);
    std::size_t decodedCount = 0;
    bool decodes = true;
    try {
        decodedCount = decodeStore(damaged).records.size();
    } catch (const RecordTableError&) {
        decodes = false;
    }
    try {
        RecordTable table("viewDB");
        table.setFileName(path);
        openStore(table);
        ++figures.opened;
        EXPECT_TRUE(decodes) << what << ": the table opened what decodeStore refuses";
        const std::string wrong = inconsistency(table, decodedCount);
        EXPECT_EQ(wrong, "") << what;
        checkOpenedInOrder(path, table, decodedCount, what);
        // The user orders the list by its titles; damaged names or values may refuse.
        for (const char* ordering : {"NAME;LOGIN", "LOGIN", "PASSWORD"}) {
            try {
                table.setOrdering(ordering);
            } catch (const RecordTableError&) {
            }
        }
        EXPECT_EQ(inconsistency(table, decodedCount), "") << what << ", ordered";
    } catch (const RecordTableError&) {
        ++figures.refused;
    } catch (const std::exception& error) {
        ADD_FAILURE() << what << ": " << typeid(error).name() << ": " << error.what();
    }
    EXPECT_TRUE(sameIdentity(identityOf(path), before)) << what << ": the damaged file was written";
    EXPECT_EQ(readWhole(path), damaged) << what;
}

class CorruptionSweep : public ::testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(Store, CorruptionSweep, ::testing::Values("kestrin.db", "kestrin.xml"),
                         [](const auto& p) { return std::string(p.param).ends_with(".xml") ? "Xml" : "Binary"; });

TEST_P(CorruptionSweep, EveryFlippedBitAndEveryCutIsRefusedOrReadsValidRecords)
{
#ifndef _WIN32
    ::alarm(300);  // a hang anywhere ends the program instead of stalling the run
#endif
    TempFolder folder;
    const std::string path = folder.file(GetParam());
    {
        RecordTable writer("viewDB");
        writer.setFileName(path);
        openStore(writer);
        fillAwkwardStore(writer);
        writer.setOrdering("NAME;LOGIN");
        writer.close();
    }
    const std::string whole = readWhole(path);
    ASSERT_GT(whole.size(), 800u);
    {
        // The undamaged store itself reads back whole and unwritten.
        SweepFigures figures;
        openDamaged(path, whole, "undamaged", figures);
        ASSERT_EQ(figures.opened, 1);
        RecordTable table;
        table.setFileName(path);
        table.open();
        EXPECT_EQ(table.recordCount(), 7);
    }

    SweepFigures flips, cuts;
    for (std::size_t at = 0; at < whole.size() && !HasFatalFailure(); ++at) {
        std::string flipped = whole;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << (at % 8)));
        openDamaged(path, flipped, "bit " + std::to_string(at % 8) + " of byte " + std::to_string(at), flips);
        const std::string cut = whole.substr(0, at);
        const int openedBefore = cuts.opened;
        openDamaged(path, cut, "cut at " + std::to_string(at), cuts);
        // Only a cut that drops nothing but trailing white space may be read, and it
        // then reads exactly the records that were written.
        if (cuts.opened != openedBefore) {
            EXPECT_EQ(whole.find_first_not_of(" \t\r\n", at), std::string::npos) << "cut at " << at;
            EXPECT_EQ(decodeStore(cut).records, decodeStore(whole).records) << "cut at " << at;
        }
    }
#ifndef _WIN32
    ::alarm(0);
#endif
    // A binary store's checksum refuses every cut and every flip; the XML form has
    // none, so a flip inside a value may read as another value.
    if (storeFormForFileName(path) == StoreForm::Binary) {
        EXPECT_EQ(flips.opened, 0);
        EXPECT_EQ(cuts.opened, 0);
    }
    EXPECT_EQ(flips.opened + flips.refused, static_cast<int>(whole.size()));
    EXPECT_EQ(cuts.opened + cuts.refused, static_cast<int>(whole.size()));
    RecordProperty("bytes", static_cast<int>(whole.size()));
    RecordProperty("flipsOpened", flips.opened);
    RecordProperty("flipsRefused", flips.refused);
    std::cout << GetParam() << ": " << whole.size() << " bytes; flips opened " << flips.opened << ", refused "
              << flips.refused << "; cuts opened " << cuts.opened << ", refused " << cuts.refused << "\n";
    // Nothing but the store itself was ever created in the folder.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{GetParam()});
}

// A hostile file need not be damaged: a whole, well-formed store of either form, with
// a valid checksum, may hold text longer than the size its own field declares. The
// table must refuse it or hold it cut to the size, as it would hold typed text.
TEST_P(CorruptionSweep, AWellFormedStoreWithTextLongerThanItsFieldIsRefusedOrCut)
{
    TempFolder folder;
    const std::string path = folder.file(GetParam());
    const std::vector<FieldDef> fields{{"NAME", FieldKind::Text, 4, true}, {"RECTYPE", FieldKind::Integer, 0, true}};
    const Record record{FieldValue(std::string("far too long")), FieldValue(std::int32_t{0})};
    writeWhole(path, encodeStore(storeFormForFileName(path), fields, {&record}));
    SweepFigures figures;
    openDamaged(path, readWhole(path), "text of 12 characters in a field of size 4", figures);
    EXPECT_EQ(figures.opened + figures.refused, 1);
}

}  // namespace
