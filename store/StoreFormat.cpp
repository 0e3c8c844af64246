// The entry point to the store forms: the form a file name asks for, the checks of
// the fields before either writer starts, and the form of content told from its
// first bytes. docs/store-format.md describes both forms; keep it in step with them.

#include "StoreFormat.h"

#include "format/BinaryForm.h"
#include "format/ValueRules.h"
#include "format/XmlForm.h"

#include <utility>

StoreForm storeFormForFileName(std::string_view fileName)
{
    if (fileName.size() < 4)
        return StoreForm::Binary;
    return equalIgnoringAsciiCase(fileName.substr(fileName.size() - 4), ".xml") ? StoreForm::Xml : StoreForm::Binary;
}

std::string encodeStoreFrom(StoreForm form, const std::vector<FieldDef>& fields, std::size_t count,
                            const RecordSource& source, std::size_t sizeHint, const StoreOrder* order)
{
    checkFieldsForWriting(fields, count);
    return form == StoreForm::Xml ? encodeXml(fields, count, source, sizeHint)
                                  : encodeBinary(fields, count, source, sizeHint, order);
}

std::string encodeStore(StoreForm form, const std::vector<FieldDef>& fields,
                        const std::vector<const Record*>& records)
{
    std::size_t textBytes = 0;
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (records[r] == nullptr || records[r]->size() != fields.size())
            failFormat("Cannot write the store: record " + std::to_string(r + 1)
                       + " does not hold one value per field");
        for (const StoredValue& value : *records[r])
            if (value)
                if (const auto* text = std::get_if<std::string>(&*value))
                    textBytes += text->size();
    }
    const auto source = [&](std::size_t r, ValueView* values) {
        const Record& record = *records[r];
        for (std::size_t f = 0; f < record.size(); ++f)
            values[f] = viewOf(record[f]);
    };
    return encodeStoreFrom(form, fields, records.size(), source,
                           textBytes + records.size() * fields.size() * 5);
}

namespace {

// The XML document of content that does not start with the binary magic, without
// its byte order mark; anything but the start of an XML store is refused.
std::string_view xmlDocument(std::string_view content)
{
    if (content.empty())
        failFormat("The store file is empty");
    if (content.size() < binaryMagic.size() && binaryMagic.substr(0, content.size()) == content)
        failFormat("The store file is truncated");
    // A byte order mark is allowed in front of the XML declaration, as XML allows it.
    std::string_view xml = content;
    if (xml.substr(0, 3) == "\xEF\xBB\xBF")
        xml.remove_prefix(3);
    if (!startsWithXml(xml))
        failFormat("The content is not a store file of this program");
    return xml;
}

// Content that does not start with the binary magic: an XML store, or refused.
DecodedStore decodeNonBinary(std::string_view content)
{
    return decodeXml(xmlDocument(content));
}

}  // namespace

void checkStoreStart(std::string_view head, std::uint64_t size)
{
    if (size == 0)
        return;  // nothing to look at, or a file whose size the system does not know
    if (isBinaryStore(head))
        checkBinaryLength(head, size);
    else
        xmlDocument(head);
}

void decodeStoreInto(std::string_view content, RecordSink& sink)
{
    if (isBinaryStore(content)) {
        decodeBinary(content, sink);
        return;
    }
    const DecodedStore store = decodeNonBinary(content);
    sink.begin(store.fields, store.records.size());
    std::vector<ValueView> values(store.fields.size());
    for (const Record& record : store.records) {
        for (std::size_t f = 0; f < record.size(); ++f)
            values[f] = viewOf(record[f]);
        sink.record(values.data());
    }
    sink.end();
}

DecodedStore decodeStore(std::string_view content)
{
    // Collects the records as values of their own.
    class Collector : public RecordSink {
    public:
        explicit Collector(DecodedStore& store) : store_(store) {}
        void begin(const std::vector<FieldDef>& fields, std::size_t recordCount) override
        {
            store_.fields = fields;
            store_.records.reserve(recordCount);
        }
        void record(const ValueView* values) override
        {
            Record record;
            record.reserve(store_.fields.size());
            for (std::size_t f = 0; f < store_.fields.size(); ++f) {
                switch (values[f].kind) {
                case ValueView::Kind::Null: record.emplace_back(std::nullopt); break;
                case ValueView::Kind::Text: record.emplace_back(std::in_place, std::in_place_index<0>, values[f].text); break;
                case ValueView::Kind::Integer: record.emplace_back(std::in_place, std::in_place_index<1>, values[f].number); break;
                }
            }
            store_.records.push_back(std::move(record));
        }

    private:
        DecodedStore& store_;
    };
    // The XML reader already gives values of their own: no detour through views.
    if (!isBinaryStore(content))
        return decodeNonBinary(content);
    DecodedStore store;
    Collector collector(store);
    decodeBinary(content, collector);
    return store;
}
