#include "RecordStore.h"

#include <filesystem>
#include <string>
#include <system_error>

void declareRecordSchema(RecordTable& table)
{
    table.clearFieldDefs();
    table.addFieldDef("NAME", FieldKind::Text, nameSize, true);
    table.addFieldDef("LOGIN", FieldKind::Text, loginSize, true);
    table.addFieldDef("PASSWORD", FieldKind::Text, passwordSize, true);
    table.addFieldDef("NOTES", FieldKind::Text, notesSize, false);
    table.addFieldDef("RECTYPE", FieldKind::Integer, 0, true);

    table.clearIndexDefs();
    table.addIndexDef("NAMEIDX", "NAME;LOGIN", IndexOptions{.primary = true});
    table.addIndexDef("LOGINIDX", "LOGIN", IndexOptions{});
    table.addIndexDef("PASSIDX", "PASSWORD", IndexOptions{});
}

void openStore(RecordTable& table)
{
    // Only a missing file is created anew; a file of length zero is left for open()
    // to refuse, so that a store emptied by some accident is never silently replaced.
    // When the file's existence cannot be told (a folder that cannot be searched),
    // nothing is created: open() then reports the system's reason.
    // The name is UTF-8; a path built from a plain std::string would be read in the
    // ANSI code page on Windows.
    const std::string& name = table.fileName();
    const std::filesystem::path file(std::u8string(name.begin(), name.end()));
    std::error_code error;
    if (!std::filesystem::exists(file, error) && !error) {
        declareRecordSchema(table);
        table.createEmpty();
    }
    table.open();
}
