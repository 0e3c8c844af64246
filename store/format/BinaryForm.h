#pragma once
// The program's own binary form of a store's content: the layout its reader
// (BinaryReader.cpp) and its writer (BinaryWriter.cpp) share, and the two of them.
// docs/store-format.md describes the layout byte by byte.

#include "FieldTypes.h"
#include "format/RecordStream.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view binaryMagic{"\x89QRL\r\n\x1A\n", 8};
inline constexpr std::size_t headerSize = 8 + 4 + 8;  // magic, version, total length
inline constexpr std::size_t checksumSize = 4;

inline constexpr unsigned char kindText = 1;
inline constexpr unsigned char kindInteger = 2;
inline constexpr unsigned char valueNull = 0;
inline constexpr unsigned char valuePresent = 1;

inline bool isBinaryStore(std::string_view content)
{
    return content.substr(0, binaryMagic.size()) == binaryMagic;
}

// The whole binary content of a store whose fields have been checked, its records
// read from source, and the records' order when order is given and names fields.
// sizeHint is roughly the bytes the records' values take.
std::string encodeBinary(const std::vector<FieldDef>& fields, std::size_t count,
                         const RecordSource& source, std::size_t sizeHint, const StoreOrder* order);

// Refuses a binary store of size bytes, of which start holds the first ones (at
// least the header, where there is one), when its header gives another length.
void checkBinaryLength(std::string_view start, std::uint64_t size);

// Reads binary content (it starts with the magic), handing the fields and records
// to sink; anything that is not a whole, valid store is refused.
void decodeBinary(std::string_view content, RecordSink& sink);
