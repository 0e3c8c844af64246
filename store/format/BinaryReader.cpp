// The binary form's reader. It treats its input as hostile: every length is checked
// against the bytes that remain before anything is allocated or read, and the
// checksum is worked out on a second thread while the records are read.

#include "format/BinaryForm.h"

#include "format/Checksum.h"
#include "format/ValueRules.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// Reads little-endian numbers and byte runs, never past the end it was given.
class ByteReader {
public:
    explicit ByteReader(std::string_view data) : data_(data) {}

    std::size_t remaining() const { return data_.size() - pos_; }
    // The bytes not read yet, for a reader of its own; advance() then moves past
    // what that one has read.
    std::string_view rest() const { return data_.substr(pos_); }
    void advance(std::size_t n)
    {
        need(n);
        pos_ += n;
    }

    unsigned char u8()
    {
        need(1);
        return static_cast<unsigned char>(data_[pos_++]);
    }

    std::uint32_t u32()
    {
        need(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[pos_ + static_cast<std::size_t>(i)]))
                 << (8 * i);
        pos_ += 4;
        return v;
    }

    std::uint64_t u64()
    {
        const std::uint64_t low = u32();
        const std::uint64_t high = u32();
        return low | (high << 32);
    }

    std::string_view bytes(std::size_t n)
    {
        need(n);
        const std::string_view run = data_.substr(pos_, n);
        pos_ += n;
        return run;
    }

private:
    void need(std::size_t n) const
    {
        if (remaining() < n)
            failFormat("The store file is damaged: a length runs past the end");
    }

    std::string_view data_;
    std::size_t pos_ = 0;
};

// True when none of the n bytes at p has its top bit set. The bytes are read eight
// at a time, the last ones overlapping the ones before, so that a text of the usual
// length takes no loop and few branches; limit is the end of the readable buffer,
// which a short text is read up to (the bytes past the text are masked off).
bool isAscii(const unsigned char* p, std::size_t n, const unsigned char* limit)
{
    constexpr std::uint64_t highBits = 0x8080808080808080u;
    const auto load = [](const unsigned char* at) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        return word;
    };
    if (n < 8) {
        if (std::endian::native != std::endian::little || limit - p < 8) {
            unsigned char high = 0;
            for (std::size_t i = 0; i < n; ++i)
                high |= p[i];
            return high < 0x80;
        }
        // The text's bytes are the low ones of the word.
        const std::uint64_t mask = n == 0 ? 0 : ~std::uint64_t{0} >> (64 - 8 * n);
        return (load(p) & mask & highBits) == 0;
    }
    if (n <= 32) {
        // Four words cover the text: its first and last 16 bytes (or 8, when it is
        // shorter than 16), overlapping as they may.
        const std::size_t mid = n >= 16 ? 8 : 0;
        return ((load(p) | load(p + mid) | load(p + n - 8 - mid) | load(p + n - 8)) & highBits) == 0;
    }
    std::uint64_t seen = load(p + n - 8);
    for (std::size_t i = 0; i + 8 < n; i += 8)
        seen |= load(p + i);
    return (seen & highBits) == 0;
}

// Whether a binary store's body matches the checksum it ends with. For a large store
// the sum is worked out on a second thread, so that the records can be read
// meanwhile; require() waits for it. Without a thread to be had it is worked out
// at once.
class ChecksumCheck {
public:
    ChecksumCheck(std::string_view body, std::uint32_t stored)
    {
        if (body.size() >= (std::size_t{1} << 20)) {
            try {
                worker_ = std::thread([this, body, stored] { matches_ = storeChecksum(body) == stored; });
                return;
            } catch (const std::system_error&) {
                // no thread: fall through and work it out here
            }
        }
        matches_ = storeChecksum(body) == stored;
    }
    ~ChecksumCheck()
    {
        if (worker_.joinable())
            worker_.join();
    }
    ChecksumCheck(const ChecksumCheck&) = delete;
    ChecksumCheck& operator=(const ChecksumCheck&) = delete;

    // Throws the refusal of a damaged store unless the checksum matched.
    void require()
    {
        if (worker_.joinable())
            worker_.join();
        if (!matches_)
            failFormat("The store file is damaged: checksum mismatch");
    }

private:
    std::thread worker_;
    bool matches_ = false;  // written by the worker before it ends, read after the join
};

// The records' order a store of version 2 or later carries between the record count
// and the records; none when it names no field. Only its length is checked: what it
// says is for the sink to check, or to ignore.
std::optional<CarriedOrder> readCarriedOrder(ByteReader& in, std::uint32_t recordCount)
{
    const std::uint32_t columnCount = in.u32();
    if (columnCount > in.remaining() / 4)
        failFormat("The store file is damaged: the records' order runs past the end");
    if (columnCount == 0)
        return std::nullopt;
    std::vector<std::uint32_t> columns(columnCount);
    for (std::uint32_t& column : columns)
        column = in.u32();
    if (recordCount > in.remaining() / 4)
        failFormat("The store file is damaged: the records' order runs past the end");
    return CarriedOrder(std::move(columns), in.bytes(std::size_t{recordCount} * 4));
}

// The fields, the records' order of a version that carries one, and the records of a
// binary store's body (its bytes before the checksum), handed to sink; throws when
// they are not exactly what the body holds.
void readBinaryRecords(std::string_view body, std::uint32_t version, RecordSink& sink)
{
    const char* damaged = "The store file is damaged: ";
    ByteReader in(body.substr(headerSize));
    std::vector<FieldDef> fields;

    const std::uint32_t fieldCount = in.u32();
    if (fieldCount > maxFieldCount)
        failFormat("The store file is damaged: more than " + std::to_string(maxFieldCount) + " fields");
    // Each field takes at least 10 bytes: bound the count before reserving.
    if (fieldCount > in.remaining() / 10)
        failFormat("The store file is damaged: field count runs past the end");
    fields.reserve(fieldCount);
    for (std::uint32_t f = 0; f < fieldCount; ++f) {
        FieldDef field;
        const std::uint32_t nameLength = in.u32();
        field.name = std::string(in.bytes(nameLength));
        const unsigned char kind = in.u8();
        if (kind != kindText && kind != kindInteger)
            failFormat("The store file is damaged: unknown field kind");
        field.kind = kind == kindText ? FieldKind::Text : FieldKind::Integer;
        field.size = static_cast<std::int32_t>(in.u32());
        const unsigned char required = in.u8();
        if (required > 1)
            failFormat("The store file is damaged: bad required flag");
        field.required = required == 1;
        checkFieldDef(field, damaged);
        fields.push_back(std::move(field));
    }
    if (hasRepeatedFieldName(fields))
        failFormat(std::string(damaged) + "a field name appears twice");

    const std::uint32_t recordCount = in.u32();
    const std::optional<CarriedOrder> order = version >= 2 ? readCarriedOrder(in, recordCount) : std::nullopt;
    // Each record takes at least one byte per field.
    if (recordCount > 0 && (fieldCount == 0 || recordCount > in.remaining() / fieldCount))
        failFormat("The store file is damaged: record count runs past the end");
    sink.begin(fields, recordCount);
    if (order)
        sink.order(*order);

    // The records are the bulk of a store: read through a plain pointer, with the
    // same checks, in the same order, as the reader above makes.
    std::vector<ValueView> values(fieldCount);
    std::vector<unsigned char> isText(fieldCount);
    for (std::uint32_t f = 0; f < fieldCount; ++f)
        isText[f] = fields[f].kind == FieldKind::Text;
    const std::string_view records = in.rest();
    const auto* p = reinterpret_cast<const unsigned char*>(records.data());
    const unsigned char* const end = p + records.size();
    const auto pastEnd = [] { failFormat("The store file is damaged: a length runs past the end"); };
    for (std::uint32_t r = 0; r < recordCount; ++r) {
        for (std::uint32_t f = 0; f < fieldCount; ++f) {
            // Set member by member: a whole new view would be built on the stack
            // and copied, which here costs more than reading the value.
            ValueView& value = values[f];
            if (p == end)
                pastEnd();
            const unsigned char tag = *p++;
            if (tag == valueNull) {
                value.kind = ValueView::Kind::Null;
                continue;
            }
            if (tag != valuePresent)
                failFormat("The store file is damaged: bad value marker");
            if (end - p < 4)
                pastEnd();
            const std::uint32_t word = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8
                                       | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
            p += 4;
            if (!isText[f]) {
                value.kind = ValueView::Kind::Integer;
                value.number = static_cast<std::int32_t>(word);
                continue;
            }
            if (static_cast<std::size_t>(end - p) < word)
                pastEnd();
            const std::string_view text(reinterpret_cast<const char*>(p), word);
            p += word;
            // Plain ASCII, by far the most common, needs no closer look.
            if (!isAscii(p - word, word, end + checksumSize) && !isValidUtf8(text))
                failFormat("The store file is damaged: text that is not valid UTF-8");
            value.kind = ValueView::Kind::Text;
            value.text = text;
        }
        sink.record(values.data());
    }
    in.advance(static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(records.data())));
    if (in.remaining() != 0)
        failFormat("The store file is damaged: data after the records");
}

}  // namespace

void checkBinaryLength(std::string_view start, std::uint64_t size)
{
    if (size < headerSize + checksumSize || start.size() < headerSize)
        failFormat("The store file is truncated");
    const std::uint64_t declaredLength = ByteReader(start.substr(binaryMagic.size() + 4)).u64();
    if (declaredLength > size)
        failFormat("The store file is truncated: " + std::to_string(size) + " of " + std::to_string(declaredLength)
                   + " bytes");
    if (declaredLength < size)
        failFormat("The store file is damaged: data after its end");
}

void decodeBinary(std::string_view content, RecordSink& sink)
{
    checkBinaryLength(content, content.size());
    const std::uint32_t version = ByteReader(content.substr(binaryMagic.size())).u32();

    const std::string_view body = content.substr(0, content.size() - checksumSize);
    const std::uint32_t storedCrc =
        ByteReader(content.substr(content.size() - checksumSize)).u32();
    ChecksumCheck checksum(body, storedCrc);

    // The version is read only once the checksum holds, so that a damaged version
    // number is reported as damage rather than as a file from the future.
    if (version == 0 || version > binaryVersion) {
        checksum.require();
        if (version == 0)
            failFormat("The store file is damaged: format version 0");
        failNewerVersion(version);
    }

    // The records are read while the checksum is worked out. Any refusal met on the
    // way gives way to a checksum mismatch, and the sink hears that the content is
    // whole only once the checksum holds: the outcome is that of checking first.
    try {
        readBinaryRecords(body, version, sink);
    } catch (...) {
        checksum.require();
        throw;
    }
    checksum.require();
    sink.end();
}
