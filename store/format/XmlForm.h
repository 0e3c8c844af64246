#pragma once
// The XML form of a store's content: what its reader (XmlReader.cpp) and its writer
// (XmlWriter.cpp) share, and the two of them. docs/store-format.md describes the
// document element by element.

#include "FieldTypes.h"
#include "format/RecordStream.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view xmlDeclaration{R"(<?xml version="1.0" encoding="UTF-8"?>)"};
inline constexpr std::string_view rootName{"quorrel-store"};

inline bool startsWithXml(std::string_view content)
{
    return content.substr(0, 5) == "<?xml";
}

// The whole XML content of a store whose fields have been checked, its records read
// from source. sizeHint is roughly the bytes the records' values take.
std::string encodeXml(const std::vector<FieldDef>& fields, std::size_t count,
                      const RecordSource& source, std::size_t sizeHint);

// Reads an XML document (without a byte order mark) strictly: exactly what
// encodeXml writes, give or take what every XML reader must accept. Anything else
// is refused.
DecodedStore decodeXml(std::string_view document);
