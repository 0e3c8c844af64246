// The binary form's writer: the header, the field definitions, every record's
// values checked as they are written, the records' order, the total length filled
// in, and the checksum.

#include "format/BinaryForm.h"

#include "format/Checksum.h"
#include "format/ValueRules.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// Appends to a string through a raw pointer, growing it (by doubling) only when a
// write would run past its end; finish() cuts it to what was written.
class BufferWriter {
public:
    explicit BufferWriter(std::string& out, std::size_t sizeHint) : out_(out)
    {
        out_.resize(std::max<std::size_t>(sizeHint, 64));
    }

    void u8(unsigned v)
    {
        char* p = room(1);
        p[0] = static_cast<char>(static_cast<unsigned char>(v));
    }
    void u32(std::uint32_t v)
    {
        char* p = room(4);
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<char>(static_cast<unsigned char>(v >> (8 * i)));
    }
    void u64(std::uint64_t v)
    {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void bytes(std::string_view run)
    {
        if (!run.empty())
            std::memcpy(room(run.size()), run.data(), run.size());
    }
    std::size_t size() const { return pos_; }
    void patchU64(std::size_t at, std::uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            out_[at + static_cast<std::size_t>(i)] = static_cast<char>(static_cast<unsigned char>(v >> (8 * i)));
    }
    void finish() { out_.resize(pos_); }

private:
    char* room(std::size_t n)
    {
        if (out_.size() - pos_ < n)
            out_.resize(std::max(out_.size() * 2, pos_ + n));
        char* p = out_.data() + pos_;
        pos_ += n;
        return p;
    }

    std::string& out_;
    std::size_t pos_ = 0;
};

std::uint32_t checkedCount(std::size_t n, const char* what)
{
    if (n > std::numeric_limits<std::uint32_t>::max())
        failFormat(std::string("Cannot write the store: too many ") + what);
    return static_cast<std::uint32_t>(n);
}

// The records' order, between their count and the records: the ordering's field
// count, 0 when there is none, then its fields and each record's row in it.
void writeOrder(BufferWriter& w, const StoreOrder* order, std::size_t count)
{
    if (order == nullptr || order->columns.empty()) {
        w.u32(0);
        return;
    }
    if (order->rows.size() != count)
        failFormat("Cannot write the store: the records' order does not hold one row per record");
    w.u32(checkedCount(order->columns.size(), "fields in the ordering"));
    for (const std::uint32_t column : order->columns)
        w.u32(column);
    for (const std::uint32_t row : order->rows)
        w.u32(row);
}

}  // namespace

std::string encodeBinary(const std::vector<FieldDef>& fields, std::size_t count,
                         const RecordSource& source, std::size_t sizeHint, const StoreOrder* order)
{
    std::string out;
    const std::size_t orderBytes = order ? 4 * (order->columns.size() + order->rows.size()) : 0;
    BufferWriter w(out, sizeHint + orderBytes + 64 + fields.size() * 48);
    w.bytes(binaryMagic);
    w.u32(binaryVersion);
    w.u64(0);  // total length, filled in at the end
    w.u32(checkedCount(fields.size(), "fields"));
    for (const FieldDef& field : fields) {
        w.u32(static_cast<std::uint32_t>(field.name.size()));
        w.bytes(field.name);
        w.u8(field.kind == FieldKind::Text ? kindText : kindInteger);
        w.u32(static_cast<std::uint32_t>(field.size));
        w.u8(field.required ? 1u : 0u);
    }
    w.u32(checkedCount(count, "records"));
    writeOrder(w, order, count);
    std::vector<ValueView> values(fields.size());
    for (std::size_t r = 0; r < count; ++r) {
        source(r, values.data());
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const ValueView& value = values[f];
            checkValueForWriting(value, fields[f], r);
            if (value.kind == ValueView::Kind::Null) {
                w.u8(valueNull);
            } else if (value.kind == ValueView::Kind::Text) {
                w.u8(valuePresent);
                w.u32(checkedCount(value.text.size(), "bytes in one text"));
                w.bytes(value.text);
            } else {
                w.u8(valuePresent);
                w.u32(static_cast<std::uint32_t>(value.number));
            }
        }
    }
    w.patchU64(8 + 4, static_cast<std::uint64_t>(w.size()) + checksumSize);
    w.finish();
    out.reserve(out.size() + checksumSize);
    const std::uint32_t crc = storeChecksum(out);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(static_cast<unsigned char>(crc >> (8 * i))));
    return out;
}
