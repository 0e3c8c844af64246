#pragma once
// The two forms of a store file's content, the program's own binary form and an XML
// form, behind one entry point: this header chooses the form to write and tells the
// form of what is read. Both carry the field definitions and the records in storage
// order; the binary form also the records' order under the field ordering they were
// written in. The forms themselves, and the rules they share, are in format/.

#include "FieldTypes.h"
#include "ValueView.h"
#include "format/Checksum.h"
#include "format/RecordStream.h"

#include <cstddef>
#include <cstdint>
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

// The whole content of a store in the given form, its records read from source.
// Every value must be null or of its field's kind. sizeHint is roughly the bytes the
// records' values take; the writer reserves that much up front. The binary form also
// carries order, when it is given and names fields; the XML form carries none.
std::string encodeStoreFrom(StoreForm form, const std::vector<FieldDef>& fields, std::size_t count,
                            const RecordSource& source, std::size_t sizeHint = 0,
                            const StoreOrder* order = nullptr);

// Refuses, from the first bytes of a file of size bytes (at least 64 of them, or all
// of a shorter file) and before the rest is read, what decodeStore would refuse for
// them already: content that starts as no store of either form, and a binary store
// whose header gives another length than the file's. A size of 0 is passed over.
void checkStoreStart(std::string_view head, std::uint64_t size);

// Reads content as decodeStore does, handing the fields and records to sink.
void decodeStoreInto(std::string_view content, RecordSink& sink);

// Reads content of either form (told apart by its first bytes). Content that is not
// a whole, valid store is refused with a RecordTableError that says what is wrong.
// Every record read holds one value per field (null allowed), of the field's kind.
DecodedStore decodeStore(std::string_view content);
