// Two copies of the program with one list open: a close merges its table's changes
// into the file as the other copy left it, whichever closes first; writers closing
// at the same moment never write over each other; a file that changed and cannot be
// read is left alone; a touch is no change.

#include "table_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <sys/wait.h>
#endif

using namespace tabletest;
namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name, login, password;
};

void writeStore(const std::string& path, const std::vector<Entry>& entries)
{
    RecordTable table;
    table.setFileName(path);
    createWithSchema(table);
    for (const Entry& e : entries)
        insert(table, e.name, e.login, e.password);
    table.close();
}

std::vector<std::string> recordsIn(const std::string& path)
{
    RecordTable table;
    table.setFileName(path);
    table.open();
    return storageRows(table);
}

std::vector<std::string> sorted(std::vector<std::string> rows)
{
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Makes the record name/login current; throws when there is none.
void select(RecordTable& table, const std::string& name, const std::string& login)
{
    table.setOrdering("NAME;LOGIN");
    if (!table.lookupKey({name, login}))
        throw std::runtime_error("no record " + name + "/" + login);
}

void setPassword(RecordTable& table, const std::string& name, const std::string& login, const std::string& password)
{
    select(table, name, login);
    table.beginEdit();
    table.setFieldText("PASSWORD", password);
    table.postEdit();
}

void remove(RecordTable& table, const std::string& name, const std::string& login)
{
    select(table, name, login);
    table.deleteCurrent();
}

// Moves a record into the archive as the Archive command does: a short-lived table
// on the archive file takes a copy and is closed, then the record is deleted.
void archive(RecordTable& table, const std::string& name, const std::string& login, const std::string& archivePath)
{
    select(table, name, login);
    RecordTable archived;
    archived.setFileName(archivePath);
    openStore(archived);
    archived.insertValues({table.fieldText("NAME"), table.fieldText("LOGIN"), table.fieldText("PASSWORD"),
                           table.fieldText("NOTES"), table.fieldInteger("RECTYPE")});
    archived.close();
    table.deleteCurrent();
}

#ifdef _WIN32
// The other copy of the program. Windows has no fork: its steps run in this process,
// on tables of their own, one at a time, each when the test says so. A step that
// throws fails the test with its error.
class OtherCopy {
public:
    explicit OtherCopy(std::vector<std::function<void()>> steps) : steps_(std::move(steps)) {}

    void step()
    {
        try {
            steps_.at(next_++)();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "the other copy's step: " << error.what();
        }
    }

private:
    std::vector<std::function<void()>> steps_;
    std::size_t next_ = 0;
};
#else
// The other copy of the program: a forked child that runs its steps one at a time,
// each when the test says so. A step that throws fails the test with its error.
class OtherCopy {
public:
    explicit OtherCopy(std::vector<std::function<void()>> steps)
    {
        if (::pipe(toChild_) != 0 || ::pipe(fromChild_) != 0)
            throw std::runtime_error("no pipe");
        child_ = ::fork();
        if (child_ == 0)
            runSteps(steps);
        ::close(toChild_[0]);
        ::close(fromChild_[1]);
    }
    ~OtherCopy()
    {
        ::close(toChild_[1]);  // no more steps: the child ends
        int status = -1;
        ::waitpid(child_, &status, 0);
        ::close(fromChild_[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    OtherCopy(const OtherCopy&) = delete;
    OtherCopy& operator=(const OtherCopy&) = delete;

    void step()
    {
        ASSERT_EQ(::write(toChild_[1], "s", 1), 1);
        std::string report;
        char c = 0;
        while (::read(fromChild_[0], &c, 1) == 1 && c != '\n')
            report += c;
        EXPECT_EQ(report, "done") << "the other copy's step";
    }

private:
    [[noreturn]] void runSteps(const std::vector<std::function<void()>>& steps)
    {
        ::close(toChild_[1]);
        ::close(fromChild_[0]);
        char c = 0;
        for (const auto& step : steps) {
            if (::read(toChild_[0], &c, 1) != 1)
                break;
            std::string report = "done";
            try {
                step();
            } catch (const std::exception& error) {
                report = error.what();
                std::replace(report.begin(), report.end(), '\n', ' ');
            }
            report += '\n';
            if (::write(fromChild_[1], report.data(), report.size()) < 0)
                break;
        }
        ::_exit(0);  // nothing of the test's own is torn down in the child
    }

    int toChild_[2]{}, fromChild_[2]{};
    pid_t child_ = -1;
};
#endif

struct Interleaving {
    bool aClosesFirst;
    std::string extension;  // of both lists: the binary or the XML form
};

void PrintTo(const Interleaving& order, std::ostream* out)
{
    *out << (order.aClosesFirst ? "A closes first, " : "B closes first, ") << order.extension;
}

class TwoCopies : public ::testing::TestWithParam<Interleaving> {};

std::string row(const std::string& name, const std::string& login, const std::string& password)
{
    return name + "|" + login + "|" + password + "||0";
}

}  // namespace

// A and B open the active list; B also shows the archive and deletes from it while A
// archives into it. Both edit k1; B deletes k4, which A edits; A deletes k5, which B
// edits; B edits k7 and back, which A deletes; A deletes one of two equal records;
// each adds one and archives one. Then A closes first, or B does.
TEST_P(TwoCopies, KeepWhatEitherAddedOrKeptAndDropWhatOneDeletedAndTheOtherLeftAlone)
{
    const Interleaving order = GetParam();
    TempFolder folder;
    const std::string active = folder.file("kestrin" + order.extension);
    const std::string archived = folder.file("inactive" + order.extension);
    writeStore(active, {{"k1", "jo", "p1"}, {"k2", "jo", "p2"}, {"k3", "jo", "p3"}, {"k4", "jo", "p4"},
                        {"k5", "jo", "p5"}, {"k6", "jo", "p6"}, {"k7", "jo", "p7"}, {"dup", "x", "p"},
                        {"dup", "x", "p"}});
    writeStore(archived, {{"old1", "jo", "p"}, {"old2", "jo", "p"}});

    RecordTable b, bArchiveView;  // the other copy's, used only in its steps
    OtherCopy other({
        [&] {
            b.setFileName(active);
            b.open();
            bArchiveView.setFileName(archived);
            bArchiveView.open();
            remove(bArchiveView, "old1", "jo");
        },
        [&] {
            insert(b, "B", "new", "pb");
            setPassword(b, "k1", "jo", "p1-b");
            remove(b, "k4", "jo");
            setPassword(b, "k5", "jo", "p5-b");
            setPassword(b, "k7", "jo", "p7-b");
            setPassword(b, "k7", "jo", "p7");
            archive(b, "k6", "jo", archived);
            bArchiveView.close();  // A archived k3 meanwhile
            if (!bArchiveView.lastCloseMerged())
                throw std::runtime_error("the archive view's close did not merge");
        },
        [&] {
            b.close();
            if (b.lastCloseMerged() != order.aClosesFirst)
                throw std::runtime_error("B's close merged: " + std::to_string(b.lastCloseMerged()));
        },
    });

    other.step();
    RecordTable a;
    a.setFileName(active);
    a.open();
    insert(a, "A", "new", "pa");
    setPassword(a, "k1", "jo", "p1-a");
    remove(a, "k2", "jo");
    setPassword(a, "k4", "jo", "p4-a");
    remove(a, "k5", "jo");
    remove(a, "dup", "x");
    remove(a, "k7", "jo");
    archive(a, "k3", "jo", archived);  // B shows the archive
    other.step();
    const std::vector<std::string> aRows = storageRows(a);

    if (order.aClosesFirst) {
        a.close();
        EXPECT_FALSE(a.lastCloseMerged());
        other.step();
    } else {
        other.step();
        // Theirs in its own order, less what A deleted, then what A added, in A's order.
        std::vector<std::string> expected = recordsIn(active);
        for (const std::string& gone : {row("k1", "jo", "p1"), row("k2", "jo", "p2"), row("k3", "jo", "p3"),
                                        row("k4", "jo", "p4"), row("k5", "jo", "p5"), row("k7", "jo", "p7"),
                                        row("dup", "x", "p")}) {
            const auto at = std::find(expected.begin(), expected.end(), gone);
            if (at != expected.end())
                expected.erase(at);
        }
        const std::vector<std::string> aAdded{row("A", "new", "pa"), row("k1", "jo", "p1-a"), row("k4", "jo", "p4-a")};
        for (const std::string& r : aRows)
            if (std::count(aAdded.begin(), aAdded.end(), r))
                expected.push_back(r);
        a.close();
        EXPECT_TRUE(a.lastCloseMerged());
        EXPECT_EQ(recordsIn(active), expected);
    }
    EXPECT_EQ(sorted(recordsIn(active)),
              sorted({row("A", "new", "pa"), row("B", "new", "pb"), row("dup", "x", "p"), row("k1", "jo", "p1-a"),
                      row("k1", "jo", "p1-b"), row("k4", "jo", "p4-a"), row("k5", "jo", "p5-b")}));
    EXPECT_EQ(sorted(recordsIn(archived)), sorted({row("k3", "jo", "p3"), row("k6", "jo", "p6"), row("old2", "jo", "p")}));
}

INSTANTIATE_TEST_SUITE_P(Orders, TwoCopies,
                         ::testing::Values(Interleaving{true, ".db"}, Interleaving{false, ".db"},
                                           Interleaving{true, ".xml"}, Interleaving{false, ".xml"}),
                         [](const ::testing::TestParamInfo<Interleaving>& test) {
                             return std::string(test.param.aClosesFirst ? "AClosesFirst" : "BClosesFirst")
                                    + (test.param.extension == ".xml" ? "Xml" : "Binary");
                         });

// Without the writers' lock, both would find the file as they read it and the later
// rename would drop the other's record.
TEST(TableMerge, WritersClosingAtTheSameMomentNeverWriteOverEachOther)
{
    TempFolder folder;
    const std::string path = folder.file("kestrin.db");
    writeStore(path, {{"base", "jo", "p"}});
    std::vector<std::string> expected{row("base", "jo", "p")};
    constexpr int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        std::barrier bothChanged(2);
        std::vector<std::string> errors(2);
        const auto copy = [&](int side) {
            RecordTable table;
            try {
                table.setFileName(path);
                table.open();
                insert(table, side ? "B" : "A", std::to_string(round), "p");
            } catch (const std::exception& error) {
                errors[side] = error.what();
            }
            bothChanged.arrive_and_wait();
            try {
                table.close();
            } catch (const std::exception& error) {
                errors[side] += error.what();
            }
        };
        {
            const std::jthread a(copy, 0), b(copy, 1);
        }
        ASSERT_EQ(errors, (std::vector<std::string>{"", ""})) << "round " << round;
        expected.push_back(row("A", std::to_string(round), "p"));
        expected.push_back(row("B", std::to_string(round), "p"));
    }
    EXPECT_EQ(sorted(recordsIn(path)), sorted(expected));
}

TEST(TableMerge, AFileThatChangedAndCannotBeReadIsLeftAloneAndTheTableKeepsItsRecords)
{
    TempFolder folder;
    const std::string path = folder.file("kestrin.db");
    const auto otherFields = [&] {
        fs::remove(path);
        RecordTable writer;
        writer.setFileName(path);
        writer.addFieldDef("CODE", FieldKind::Text, 5, false);
        writer.createEmpty();
        writer.insertValues({std::string("c")});
        writer.close();
    };
    const auto flipAByte = [&] {
        std::string bytes = readWhole(path);
        bytes[bytes.size() / 2] ^= 0x20;
        writeWhole(path, bytes);
    };
    const struct {
        std::function<void()> spoil;
        std::string reason;
    } cases[] = {
        {flipAByte, "It changed since it was read and cannot be merged: The store file is damaged: checksum mismatch"},
        {[&] { writeWhole(path, "no store"); },
         "It changed since it was read and cannot be merged: The content is not a store file of this program"},
        {[&] { fs::remove(path); }, "It was removed since it was read"},
        {otherFields, "It changed since it was read and now holds other fields"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        writeStore(path, {{"a", "jo", "p"}});
        RecordTable table("viewDB");
        table.setFileName(path);
        table.open();
        insert(table, "mine", "jo", "p");
        c.spoil();
        const bool existed = fs::exists(path);
        const std::string before = existed ? readWhole(path) : "";

        EXPECT_EQ(errorText([&] { table.close(); }), "Cannot create file \"" + path + "\". " + c.reason);
        EXPECT_EQ(fs::exists(path), existed);
        EXPECT_EQ(existed ? readWhole(path) : "", before);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), existed ? 1 : 0)
            << "no temporary file is left";
        ASSERT_TRUE(table.isOpen());
        EXPECT_EQ(sorted(storageRows(table)), sorted({row("a", "jo", "p"), row("mine", "jo", "p")}));

        // Still changed: once a sound list is there, the next close merges with it.
        writeStore(path, {{"b", "jo", "p"}});
        table.close();
        EXPECT_TRUE(table.lastCloseMerged());
        EXPECT_EQ(recordsIn(path), (std::vector<std::string>{row("b", "jo", "p"), row("mine", "jo", "p")}));
    }
}

TEST(TableMerge, ATouchIsNoChangeWhileAFileMadeOrChangedInPlaceMeanwhileIsMergedWith)
{
    TempFolder folder;
    // A file left for a while before it is read: changed in place afterwards, with
    // the same size and its modification time put back, it still tells by its status
    // change time.
    const std::string settled = folder.file("settled.db");
    writeStore(settled, {{"a", "jo", "p"}});
    const auto modified = fs::last_write_time(settled);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    RecordTable table;
    table.setFileName(settled);
    table.open();
    insert(table, "mine", "jo", "p");
    const std::string original = readWhole(settled);
    writeStore(folder.file("other.db"), {{"b", "jo", "p"}});
    const std::string changed = readWhole(folder.file("other.db"));
    ASSERT_EQ(changed.size(), original.size());
    writeWhole(settled, changed);
    fs::last_write_time(settled, modified);
    table.close();
    EXPECT_TRUE(table.lastCloseMerged());
    EXPECT_EQ(recordsIn(settled), (std::vector<std::string>{row("b", "jo", "p"), row("mine", "jo", "p")}));

    // The same records in another file: the table's own order is written.
    const std::string touched = folder.file("touched.db");
    writeStore(touched, {{"a", "jo", "p"}, {"b", "jo", "p"}});
    table.setFileName(touched);
    table.open();
    insert(table, "z", "jo", "p");  // first in storage order
    const std::vector<std::string> ours = storageRows(table);
    const std::string bytes = readWhole(touched);
    fs::remove(touched);
    writeWhole(touched, bytes);
    table.close();
    EXPECT_FALSE(table.lastCloseMerged());
    EXPECT_EQ(recordsIn(touched), ours);

    // A list made new while a file appeared under its name: both are kept.
    const std::string made = folder.file("kestrin.db");
    table.setFileName(made);
    openStore(table);
    insert(table, "Shop", "al", "p");
    writeStore(made, {{"Bank", "jo", "p"}});
    table.close();
    EXPECT_TRUE(table.lastCloseMerged());
    EXPECT_EQ(recordsIn(made), (std::vector<std::string>{row("Bank", "jo", "p"), row("Shop", "al", "p")}));
}
