#pragma once
// The record schema shared by both lists, and openStore, which brings a store file
// into an open table.

#include "RecordTable.h"

#include <array>
#include <string_view>

// RECTYPE values: 0 login and password, 1 memorable information, 2 serial number.
// Types 1 and 2 store a fixed key word as NAME instead of a typed site name.
inline constexpr std::array<std::string_view, 3> typeKeyNames{"", "Memorable", "Serial"};

inline constexpr int nameSize = 100;
inline constexpr int loginSize = 40;
inline constexpr int passwordSize = 50;
inline constexpr int notesSize = 256;

// Declares the five record fields and the three indexes on a closed table, ready for
// createEmpty.
void declareRecordSchema(RecordTable& table);

// Opens table on the file already named by table.fileName(). When no file exists
// there, the table is first created empty with the record schema and its indexes.
void openStore(RecordTable& table);
