#pragma once
// Helpers shared by the record table tests.

#include "RecordStore.h"
#include "RecordTable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace tabletest {

inline void createWithSchema(RecordTable& table)
{
    declareRecordSchema(table);
    table.createEmpty();
}

inline void insert(RecordTable& table, const std::string& name, const std::string& login,
                   const std::string& password = "pw", const std::string& notes = "", std::int32_t type = 0)
{
    table.insertValues({name, login, password, notes, type});
}

// "NAME/LOGIN" of every row in the ordering, read through the view interface.
inline std::vector<std::string> rows(const RecordTable& table)
{
    std::vector<std::string> result;
    for (int row = 0; row < table.recordCount(); ++row)
        result.push_back(table.rowText(row, 0) + "/" + table.rowText(row, 1));
    return result;
}

// Every record in storage order as "NAME|LOGIN|PASSWORD|NOTES|RECTYPE".
inline std::vector<std::string> storageRows(RecordTable& table)
{
    const std::string ordering = table.ordering();
    table.setOrdering("");
    std::vector<std::string> result;
    for (int row = 0; row < table.recordCount(); ++row) {
        std::string line;
        for (int column = 0; column < static_cast<int>(table.fields().size()); ++column) {
            if (column)
                line += '|';
            line += table.rowText(row, column);
        }
        result.push_back(line);
    }
    table.setOrdering(ordering);
    return result;
}

inline std::string current(const RecordTable& table)
{
    return table.fieldText("NAME") + "/" + table.fieldText("LOGIN");
}

// The what() text of the RecordTableError that call throws, or a note that it threw
// nothing.
inline std::string errorText(const std::function<void()>& call)
{
    try {
        call();
    } catch (const RecordTableError& error) {
        return error.what();
    }
    return "<no error>";
}

// A fresh, empty folder under the system's temporary folder, removed at the end.
class TempFolder {
public:
    TempFolder()
    {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("quorrel-table-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string readWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void writeWhole(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace tabletest
