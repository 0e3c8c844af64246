// Writes the fuzz targets' starting inputs: small valid stores of the program's own
// record schema, made by the program's own code, in both forms, into the folder given
// on the command line:
//   empty.db / empty.xml       a store without records
//   one.db / one.xml           a single ordinary record
//   awkward.db / awkward.xml   empty and longest values, UTF-8, XML's special
//                              characters, line breaks, control characters, nulls
//   several.db / several.xml   a few records of all three kinds, some keys repeated
//   ordered.db / ordered.xml   the same, written in the ordering "NAME;LOGIN", as the
//                              program writes a list once an entry was added (the
//                              binary form carries the records' order)

#include "RecordStore.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// count repetitions of a text, for the longest values a field takes.
std::string repeated(const std::string& text, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += text;
    return out;
}

using Values = std::vector<FieldValue>;

// A new store at path with the given records (a record may give fewer values than
// there are fields: the rest stay null), written with the given ordering in force. A
// store without records is made by adding one and deleting it, so that the table
// has a change to write.
void writeStore(const fs::path& path, const std::vector<Values>& records, const std::string& ordering)
{
    fs::remove(path);
    RecordTable table("seed");
    table.setFileName(path.string());
    openStore(table);
    table.setOrdering(ordering);
    if (records.empty()) {
        table.insertValues({std::string("x"), std::string("y"), std::string("z")});
        table.deleteCurrent();
    }
    for (const Values& record : records)
        table.insertValues(record);
    table.close();
}

void writeBothForms(const fs::path& folder, const std::string& stem, const std::vector<Values>& records,
                    const std::string& ordering = {})
{
    writeStore(folder / (stem + ".db"), records, ordering);
    writeStore(folder / (stem + ".xml"), records, ordering);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    try {
        const fs::path folder(argv[1]);
        fs::create_directories(folder);
        using T = std::string;

        writeBothForms(folder, "empty", {});
        writeBothForms(folder, "one", {{T("Bank"), T("me@example.org"), T("s3cret"), T("PIN at the desk"), 0}});

        // NAME and LOGIN at their full length in characters of two, three and four
        // bytes; NOTES at its full length; RECTYPE left null by a short record.
        const std::string nul(1, '\0');
        writeBothForms(folder, "awkward",
                       {
                           {T(""), T(""), T(""), T(""), 0},
                           {repeated("\xC3\xA9", nameSize), repeated("\xE2\x82\xAC", loginSize),
                            repeated("\xF0\x9F\x94\x91", passwordSize), repeated("n", notesSize), 2},
                           {T("<Tom & \"Jerry's\">"), T("a]]>b"), T("&amp;&#10;"), T("line one\r\nline two\n\ttab"),
                            std::int32_t{-2147483647 - 1}},
                           {T("ctrl") + nul + T("\x01\x1F\x7F"), T("\xEF\xBF\xBE\xEF\xBF\xBF"), T("  spaces  "),
                            T("\xEF\xBB\xBFmark"), std::int32_t{2147483647}},
                           {T("nulls")},
                       });

        const std::vector<Values> several{
            {T("Shop"), T("anna"), T("pw1"), T("first"), 0},
            {T("Memorable"), T("mother's maiden name"), T("Smith"), T(""), 1},
            {T("Serial"), T("Editor licence"), T("ABCD-1234"), T("bought 2019"), 2},
            {T("Shop"), T("bert"), T("pw2"), T("second"), 0},
            {T("shop"), T("anna"), T("pw3"), T("case differs"), 0},
            {T("Bank"), T("anna"), T("pw1"), T(""), 0},
            {T("Shop"), T("anna"), T("pw4"), T("same key again"), 0},
        };
        writeBothForms(folder, "several", several);
        writeBothForms(folder, "ordered", several, "NAME;LOGIN");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
