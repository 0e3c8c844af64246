// Reads and prepares store files for the end-to-end tests, with the program's own
// store library:
//   store_tool dump FILE                              one record a line, fields tab-separated
//   store_tool add FILE NAME LOGIN PASSWORD NOTES TYPE  adds a record (creates the file)

#include "RecordStore.h"

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

int dump(const std::string& file)
{
    RecordTable table;
    table.setFileName(file);
    table.open();
    table.moveFirst();
    for (int i = 0; i < table.recordCount(); ++i) {
        if (i > 0)
            table.moveBy(1);
        std::cout << table.fieldText("NAME") << '\t' << table.fieldText("LOGIN") << '\t'
                  << table.fieldText("PASSWORD") << '\t' << table.fieldText("NOTES") << '\t'
                  << table.fieldInteger("RECTYPE") << '\n';
    }
    table.close();
    return 0;
}

int add(const std::string& file, char** values)
{
    RecordTable table;
    table.setFileName(file);
    openStore(table);
    table.insertValues({std::string(values[0]), std::string(values[1]), std::string(values[2]),
                        std::string(values[3]), static_cast<std::int32_t>(std::atoi(values[4]))});
    table.close();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const std::string command = argc > 2 ? argv[1] : "";
        if (command == "dump" && argc == 3)
            return dump(argv[2]);
        if (command == "add" && argc == 8)
            return add(argv[2], argv + 3);
        std::cerr << "usage: store_tool dump FILE | add FILE NAME LOGIN PASSWORD NOTES TYPE\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
}
