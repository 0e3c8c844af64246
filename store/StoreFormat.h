#pragma once
// The two forms of a store file's content: the program's own binary form and an XML
// form. Both carry the field definitions and the records in storage order.

#include "FieldTypes.h"

#include <string>
#include <string_view>
#include <vector>

enum class StoreForm { Binary, Xml };

// The form a file name asks for: XML when it ends in ".xml" in any letter case.
StoreForm storeFormForFileName(std::string_view fileName);

// The whole content of a store in the given form. Every record holds one value per
// field (null allowed), of the field's kind.
std::string encodeStore(StoreForm form, const std::vector<FieldDef>& fields,
                        const std::vector<const Record*>& records);

struct DecodedStore {
    std::vector<FieldDef> fields;
    std::vector<Record> records;
};

// Reads content of either form (told apart by its first bytes). Content that is not
// a whole, valid store is refused with a RecordTableError that says what is wrong.
// Every record read holds one value per field (null allowed), of the field's kind.
DecodedStore decodeStore(std::string_view content);
