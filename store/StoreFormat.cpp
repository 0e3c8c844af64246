// The two forms of a store file's content. docs/store-format.md describes both
// layouts byte by byte and element by element; keep it in step with this file.
//
// Both readers treat their input as hostile: every length is checked against the
// bytes that remain before anything is allocated or read, and anything that is not
// a whole, valid store is refused with a RecordTableError that says what is wrong.

#include "StoreFormat.h"

#include <array>
#include <bit>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORREL_CRC_CLMUL 1
#include <immintrin.h>
#else
#define QUORREL_CRC_CLMUL 0
#endif

namespace {

// ---------------------------------------------------------------------------------
// Shared rules

constexpr std::uint32_t currentVersion = 1;

[[noreturn]] void fail(const std::string& text)
{
    throw RecordTableError(text);
}

[[noreturn]] void failNewerVersion(std::uint64_t version)
{
    fail("The store file was written by a newer version of this program: format "
         + std::to_string(version));
}

// Decodes one UTF-8 sequence at s[pos]; returns the code point and advances pos, or
// returns -1 for anything that is not the shortest form of a scalar value.
long nextCodePoint(std::string_view s, std::size_t& pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    int extra = 0;
    long cp = 0;
    long minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1F;
        minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0F;
        minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07;
        minimum = 0x10000;
    } else {
        return -1;
    }
    if (s.size() - pos <= static_cast<std::size_t>(extra))
        return -1;
    for (int i = 1; i <= extra; ++i) {
        const unsigned char b = byte(pos + static_cast<std::size_t>(i));
        if ((b & 0xC0) != 0x80)
            return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    pos += static_cast<std::size_t>(extra) + 1;
    return cp;
}

bool isValidUtf8(std::string_view s)
{
    for (std::size_t pos = 0; pos < s.size();) {
        // Plain ASCII runs are by far the most common; skip them eight bytes at a time.
        if (s.size() - pos >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, s.data() + pos, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                pos += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(s[pos]) < 0x80) {
            ++pos;
            continue;
        }
        if (nextCodePoint(s, pos) < 0)
            return false;
    }
    return true;
}

// Characters an XML 1.0 document cannot hold, not even as a character reference.
bool isXmlChar(long cp)
{
    return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0xD7FF)
        || (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

void appendUtf8(std::string& out, long cp)
{
    const auto put = [&](long v) { out.push_back(static_cast<char>(static_cast<unsigned char>(v))); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

// A field name: 1 to 31 characters of valid UTF-8, none of them a control character
// (so that the name fits an XML attribute as it stands).
bool isValidFieldName(std::string_view name)
{
    if (name.empty())
        return false;
    std::size_t chars = 0;
    for (std::size_t pos = 0; pos < name.size();) {
        const long cp = nextCodePoint(name, pos);
        if (cp < 0x20 || !isXmlChar(cp))
            return false;
        ++chars;
    }
    return chars <= maxFieldNameChars;
}

// The same rules for both forms, so that whatever is written can be read back.
void checkFieldDef(const FieldDef& field, const char* damaged)
{
    if (!isValidFieldName(field.name))
        fail(std::string(damaged) + "a field name is empty, too long or not valid text");
    if (field.kind != FieldKind::Text && field.kind != FieldKind::Integer)
        fail(std::string(damaged) + "unknown field kind");
    if (field.size < 0)
        fail(std::string(damaged) + "negative field size");
}

// Fields are found by name regardless of letter case (as a table finds them), so two
// names that differ only in case would leave the second field out of reach: no value
// could be set in it, and a required one would block every edit of its record.
bool hasRepeatedFieldName(const std::vector<FieldDef>& fields)
{
    for (std::size_t i = 0; i < fields.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (equalIgnoringAsciiCase(fields[i].name, fields[j].name))
                return true;
        }
    }
    return false;
}

void checkFieldsForWriting(const std::vector<FieldDef>& fields, std::size_t recordCount)
{
    if (fields.empty() && recordCount != 0)
        fail("Cannot write the store: records without fields");
    for (const FieldDef& field : fields)
        checkFieldDef(field, "Cannot write the store: ");
    if (hasRepeatedFieldName(fields))
        fail("Cannot write the store: a field name appears twice");
}

// Every value of a record to be written must be null or of its field's kind, and
// text must be valid UTF-8. r is the record's 0-based place in storage order.
void checkValueForWriting(const ValueView& value, const FieldDef& field, std::size_t r)
{
    if (value.kind == ValueView::Kind::Null)
        return;
    const bool isText = value.kind == ValueView::Kind::Text;
    if (isText != (field.kind == FieldKind::Text))
        fail("Cannot write the store: record " + std::to_string(r + 1)
             + " holds a value of the wrong kind in field " + field.name);
    if (isText && !isValidUtf8(value.text))
        fail("Cannot write the store: record " + std::to_string(r + 1)
             + " holds text that is not valid UTF-8 in field " + field.name);
}

// ---------------------------------------------------------------------------------
// CRC-32 (the common reflected polynomial 0xEDB88320, initial value and final xor
// 0xFFFFFFFF), computed eight bytes at a time with eight tables: table[0] is the
// usual byte table, table[k][b] is the CRC of byte b followed by k zero bytes.

// Where the processor can multiply without carries, long runs are folded with that
// instead (see crc32Folded); both ways give the same value, which a test checks.

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables()
{
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        tables[0][i] = c;
    }
    for (std::size_t t = 1; t < 8; ++t)
        for (std::size_t i = 0; i < 256; ++i)
            tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFFu];
    return tables;
}

constexpr CrcTables crcTables = makeCrcTables();

// The register after running the bytes through it (no initial or final xor).
std::uint32_t crc32Tables(std::uint32_t c, const unsigned char* p, std::size_t n)
{
    const auto& t = crcTables;
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t low = c ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8
                                       | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
        c = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu]
          ^ t[4][low >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; n > 0; --n, ++p)
        c = t[0][(c ^ *p) & 0xFFu] ^ (c >> 8);
    return c;
}

#if QUORREL_CRC_CLMUL
// One 128-bit lane moved forward by 128 bits (k holds x^(128+32) and x^(128-32) mod
// P) and added to the next 16 bytes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i foldInto(__m128i acc, __m128i next, __m128i k)
{
    const __m128i lowPart = _mm_clmulepi64_si128(acc, k, 0x00);
    const __m128i highPart = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(highPart, next), lowPart);
}

// The same register computed with carry-less multiplication: four 128-bit lanes are
// folded forward 64 bytes at a time by multiplying with x^(512+64) and x^512 modulo
// the polynomial, then folded into one lane, reduced to 64 and finally, by Barrett
// reduction, to 32 bits. n must be a multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32Folded(std::uint32_t c, const unsigned char* p,
                                                                     std::size_t n)
{
    // x^(4*128+32) and x^(4*128-32) mod P, x^(128+32) and x^(128-32) mod P, x^64 mod P,
    // then P itself and floor(x^64 / P), all bit-reflected as the register is.
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(c)));
    p += 64;
    n -= 64;

    while (n >= 64) {
        const __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        const __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        const __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        const __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        p += 64;
        n -= 64;
    }

    x1 = foldInto(x1, x2, k3k4);
    x1 = foldInto(x1, x3, k3k4);
    x1 = foldInto(x1, x4, k3k4);
    for (; n >= 16; n -= 16, p += 16)
        x1 = foldInto(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k3k4);

    // 128 bits to 64.
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5, 0x00), x2);

    // Barrett reduction to 32 bits.
    x2 = _mm_and_si128(x1, low32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
    x2 = _mm_and_si128(x2, low32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool clmulAvailable()
{
    static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return available;
}
#endif

std::uint32_t crc32(std::string_view data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    std::uint32_t c = 0xFFFFFFFFu;
#if QUORREL_CRC_CLMUL
    if (n >= 64 && clmulAvailable()) {
        const std::size_t whole = n & ~std::size_t{15};
        c = crc32Folded(c, p, whole);
        p += whole;
        n -= whole;
    }
#endif
    return crc32Tables(c, p, n) ^ 0xFFFFFFFFu;
}

// ---------------------------------------------------------------------------------
// Binary form

constexpr std::string_view binaryMagic{"\x89QRL\r\n\x1A\n", 8};
constexpr std::size_t headerSize = 8 + 4 + 8;  // magic, version, total length
constexpr std::size_t checksumSize = 4;

constexpr unsigned char kindText = 1;
constexpr unsigned char kindInteger = 2;
constexpr unsigned char valueNull = 0;
constexpr unsigned char valuePresent = 1;

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
        fail(std::string("Cannot write the store: too many ") + what);
    return static_cast<std::uint32_t>(n);
}

std::string encodeBinary(const std::vector<FieldDef>& fields, std::size_t count,
                         const RecordSource& source, std::size_t sizeHint)
{
    std::string out;
    BufferWriter w(out, sizeHint + 64 + fields.size() * 48);
    w.bytes(binaryMagic);
    w.u32(currentVersion);
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
    const std::uint32_t crc = crc32(out);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(static_cast<unsigned char>(crc >> (8 * i))));
    return out;
}

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
            fail("The store file is damaged: a length runs past the end");
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
                worker_ = std::thread([this, body, stored] { matches_ = crc32(body) == stored; });
                return;
            } catch (const std::system_error&) {
                // no thread: fall through and work it out here
            }
        }
        matches_ = crc32(body) == stored;
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
            fail("The store file is damaged: checksum mismatch");
    }

private:
    std::thread worker_;
    bool matches_ = false;  // written by the worker before it ends, read after the join
};

void readBinaryRecords(std::string_view body, RecordSink& sink);

void decodeBinary(std::string_view content, RecordSink& sink)
{
    if (content.size() < headerSize + checksumSize)
        fail("The store file is truncated");

    ByteReader header(content.substr(binaryMagic.size()));
    const std::uint32_t version = header.u32();
    const std::uint64_t declaredLength = header.u64();
    if (declaredLength > content.size())
        fail("The store file is truncated: " + std::to_string(content.size()) + " of "
             + std::to_string(declaredLength) + " bytes");
    if (declaredLength < content.size())
        fail("The store file is damaged: data after its end");

    const std::string_view body = content.substr(0, content.size() - checksumSize);
    const std::uint32_t storedCrc =
        ByteReader(content.substr(content.size() - checksumSize)).u32();
    ChecksumCheck checksum(body, storedCrc);

    // The version is read only once the checksum holds, so that a damaged version
    // number is reported as damage rather than as a file from the future.
    if (version == 0 || version > currentVersion) {
        checksum.require();
        if (version == 0)
            fail("The store file is damaged: format version 0");
        failNewerVersion(version);
    }

    // The records are read while the checksum is worked out. Any refusal met on the
    // way gives way to a checksum mismatch, and the sink hears that the content is
    // whole only once the checksum holds: the outcome is that of checking first.
    try {
        readBinaryRecords(body, sink);
    } catch (...) {
        checksum.require();
        throw;
    }
    checksum.require();
    sink.end();
}

// The fields and records of a binary store's body (its bytes before the checksum),
// handed to sink; throws when they are not exactly what the body holds.
void readBinaryRecords(std::string_view body, RecordSink& sink)
{
    const char* damaged = "The store file is damaged: ";
    ByteReader in(body.substr(headerSize));
    std::vector<FieldDef> fields;

    const std::uint32_t fieldCount = in.u32();
    // Each field takes at least 10 bytes: bound the count before reserving.
    if (fieldCount > in.remaining() / 10)
        fail("The store file is damaged: field count runs past the end");
    fields.reserve(fieldCount);
    for (std::uint32_t f = 0; f < fieldCount; ++f) {
        FieldDef field;
        const std::uint32_t nameLength = in.u32();
        field.name = std::string(in.bytes(nameLength));
        const unsigned char kind = in.u8();
        if (kind != kindText && kind != kindInteger)
            fail("The store file is damaged: unknown field kind");
        field.kind = kind == kindText ? FieldKind::Text : FieldKind::Integer;
        field.size = static_cast<std::int32_t>(in.u32());
        const unsigned char required = in.u8();
        if (required > 1)
            fail("The store file is damaged: bad required flag");
        field.required = required == 1;
        checkFieldDef(field, damaged);
        fields.push_back(std::move(field));
    }
    if (hasRepeatedFieldName(fields))
        fail(std::string(damaged) + "a field name appears twice");

    const std::uint32_t recordCount = in.u32();
    // Each record takes at least one byte per field.
    if (recordCount > 0 && (fieldCount == 0 || recordCount > in.remaining() / fieldCount))
        fail("The store file is damaged: record count runs past the end");
    sink.begin(fields, recordCount);

    // The records are the bulk of a store: read through a plain pointer, with the
    // same checks, in the same order, as the reader above makes.
    std::vector<ValueView> values(fieldCount);
    std::vector<unsigned char> isText(fieldCount);
    for (std::uint32_t f = 0; f < fieldCount; ++f)
        isText[f] = fields[f].kind == FieldKind::Text;
    const std::string_view records = in.rest();
    const auto* p = reinterpret_cast<const unsigned char*>(records.data());
    const unsigned char* const end = p + records.size();
    const auto pastEnd = [] { fail("The store file is damaged: a length runs past the end"); };
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
                fail("The store file is damaged: bad value marker");
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
                fail("The store file is damaged: text that is not valid UTF-8");
            value.kind = ValueView::Kind::Text;
            value.text = text;
        }
        sink.record(values.data());
    }
    in.advance(static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(records.data())));
    if (in.remaining() != 0)
        fail("The store file is damaged: data after the records");
}

// ---------------------------------------------------------------------------------
// XML form

constexpr std::string_view xmlDeclaration{R"(<?xml version="1.0" encoding="UTF-8"?>)"};
constexpr std::string_view rootName{"quorrel-store"};

void appendHex(std::string& out, long cp)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[cp & 0xF]);
        cp >>= 4;
    } while (cp != 0);
    if (hex.size() < 2)
        hex.insert(hex.begin(), '0');
    out += hex;
}

// Escapes text for element content or a double-quoted attribute value. Markup
// characters and quotes become entities; TAB, LF and CR become character
// references so that no reader's line-end or attribute normalisation can touch
// them. Characters XML cannot hold at all (the other control characters, U+FFFE,
// U+FFFF) become <char code="HEX"/> elements, which only element content allows;
// field names never contain them.
void appendEscaped(std::string& out, std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();) {
        const char ch = text[pos];
        switch (ch) {
        case '<': out += "&lt;"; ++pos; continue;
        case '>': out += "&gt;"; ++pos; continue;
        case '&': out += "&amp;"; ++pos; continue;
        case '"': out += "&quot;"; ++pos; continue;
        case '\'': out += "&apos;"; ++pos; continue;
        case '\t': out += "&#9;"; ++pos; continue;
        case '\n': out += "&#10;"; ++pos; continue;
        case '\r': out += "&#13;"; ++pos; continue;
        default: break;
        }
        const std::size_t start = pos;
        const long cp = nextCodePoint(text, pos);  // valid: checked before encoding
        if (isXmlChar(cp)) {
            out.append(text.substr(start, pos - start));
        } else {
            out += "<char code=\"";
            appendHex(out, cp);
            out += "\"/>";
        }
    }
}

std::string encodeXml(const std::vector<FieldDef>& fields, std::size_t count,
                      const RecordSource& source, std::size_t sizeHint)
{
    std::string out;
    out.reserve(256 + fields.size() * 80 + sizeHint + count * (20 + fields.size() * 16));
    out += xmlDeclaration;
    out += "\n<";
    out += rootName;
    out += " version=\"" + std::to_string(currentVersion) + "\">\n";
    out += " <fields>\n";
    for (const FieldDef& field : fields) {
        out += "  <field name=\"";
        appendEscaped(out, field.name);
        out += "\" kind=\"";
        out += field.kind == FieldKind::Text ? "text" : "integer";
        out += "\" size=\"" + std::to_string(field.size);
        out += "\" required=\"";
        out += field.required ? "yes" : "no";
        out += "\"/>\n";
    }
    out += " </fields>\n <records>\n";
    std::vector<ValueView> values(fields.size());
    for (std::size_t r = 0; r < count; ++r) {
        source(r, values.data());
        out += "  <record>";
        for (std::size_t f = 0; f < fields.size(); ++f) {
            const ValueView& value = values[f];
            checkValueForWriting(value, fields[f], r);
            if (value.kind == ValueView::Kind::Null) {
                out += "<null/>";
            } else if (value.kind == ValueView::Kind::Text) {
                out += "<value>";
                appendEscaped(out, value.text);
                out += "</value>";
            } else {
                out += "<value>" + std::to_string(value.number) + "</value>";
            }
        }
        out += "</record>\n";
    }
    out += " </records>\n</";
    out += rootName;
    out += ">\n";
    return out;
}

// A strict reader for exactly the documents encodeXml writes: the declaration, the
// fixed elements with their fixed attributes, whitespace between elements, entity
// and character references, and <char> elements inside values. Comments,
// processing instructions, CDATA sections and document types are refused.
class XmlStoreReader {
public:
    explicit XmlStoreReader(std::string_view doc) : doc_(doc) {}

    DecodedStore read()
    {
        checkCharacters();
        if (doc_.substr(pos_, xmlDeclaration.size()) != xmlDeclaration)
            invalid("expected the XML declaration");
        pos_ += xmlDeclaration.size();

        Tag root = startTag(rootName);
        const std::string version = takeAttribute(root, "version");
        noMoreAttributes(root);
        const std::uint64_t number = parseUnsigned(version, "format version");
        if (number == 0)
            invalid("format version 0");
        if (number > currentVersion)
            failNewerVersion(number);
        if (root.selfClosing)
            invalid("expected <fields>");

        DecodedStore store;
        readFields(store);
        readRecords(store);
        endTag(rootName);
        skipSpace();
        if (pos_ != doc_.size())
            invalid("data after the end of the document");
        return store;
    }

private:
    struct Tag {
        std::string_view name;
        std::vector<std::pair<std::string_view, std::string>> attributes;
        bool selfClosing = false;
    };

    [[noreturn]] void invalid(const std::string& what) const
    {
        std::size_t line = 1;
        for (std::size_t i = 0; i < pos_ && i < doc_.size(); ++i)
            line += doc_[i] == '\n' ? 1 : 0;
        fail("The XML store file is not valid: line " + std::to_string(line) + ": " + what);
    }

    // The whole document must be UTF-8 made of characters XML allows.
    void checkCharacters()
    {
        for (std::size_t p = 0; p < doc_.size();) {
            const std::size_t start = p;
            const long cp = nextCodePoint(doc_, p);
            if (cp < 0 || !isXmlChar(cp)) {
                pos_ = start;
                invalid(cp < 0 ? "not valid UTF-8" : "a character XML does not allow");
            }
        }
    }

    bool atEnd() const { return pos_ >= doc_.size(); }
    char peek() const { return atEnd() ? '\0' : doc_[pos_]; }
    bool lookingAt(std::string_view s) const { return doc_.substr(pos_, s.size()) == s; }

    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isNameStart(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    }
    static bool isNameChar(char c)
    {
        return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }

    void skipSpace()
    {
        while (!atEnd() && isSpace(doc_[pos_]))
            ++pos_;
    }

    std::string_view name()
    {
        const std::size_t start = pos_;
        if (!isNameStart(peek()))
            invalid("expected a name");
        while (!atEnd() && isNameChar(doc_[pos_]))
            ++pos_;
        return doc_.substr(start, pos_ - start);
    }

    // Decodes a reference that starts at '&' and appends the character it stands for.
    void reference(std::string& out)
    {
        ++pos_;  // '&'
        const std::size_t semicolon = doc_.find(';', pos_);
        if (semicolon == std::string_view::npos || semicolon - pos_ > 10)
            invalid("an unterminated reference");
        const std::string_view ref = doc_.substr(pos_, semicolon - pos_);
        if (ref == "lt") out += '<';
        else if (ref == "gt") out += '>';
        else if (ref == "amp") out += '&';
        else if (ref == "quot") out += '"';
        else if (ref == "apos") out += '\'';
        else if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            unsigned long cp = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(),
                                                   cp, hex ? 16 : 10);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()
                || cp > 0x10FFFF || !isXmlChar(static_cast<long>(cp)))
                invalid("a bad character reference");
            appendUtf8(out, static_cast<long>(cp));
        } else {
            invalid("an unknown entity");
        }
        pos_ = semicolon + 1;
    }

    std::string attributeValue()
    {
        const char quote = peek();
        if (quote != '"' && quote != '\'')
            invalid("expected a quoted attribute value");
        ++pos_;
        std::string value;
        for (;;) {
            if (atEnd())
                invalid("an unterminated attribute value");
            const char c = doc_[pos_];
            if (c == quote) {
                ++pos_;
                return value;
            }
            if (c == '<')
                invalid("'<' inside an attribute value");
            if (c == '&') {
                reference(value);
            } else if (c == '\r' && lookingAt("\r\n")) {
                value += ' ';  // a line end is one blank, as in any XML reader
                pos_ += 2;
            } else {
                value += isSpace(c) ? ' ' : c;
                ++pos_;
            }
        }
    }

    Tag startTag(std::string_view expected)
    {
        skipSpace();
        if (peek() != '<' || lookingAt("</") || lookingAt("<!") || lookingAt("<?"))
            invalid("expected <" + std::string(expected) + ">");
        ++pos_;
        Tag tag;
        tag.name = name();
        if (tag.name != expected)
            invalid("expected <" + std::string(expected) + ">");
        for (;;) {
            const bool spaced = isSpace(peek());
            skipSpace();
            if (lookingAt("/>")) {
                pos_ += 2;
                tag.selfClosing = true;
                return tag;
            }
            if (peek() == '>') {
                ++pos_;
                return tag;
            }
            if (!spaced)
                invalid("expected a blank before an attribute");
            const std::string_view attribute = name();
            for (const auto& [existing, value] : tag.attributes)
                if (existing == attribute)
                    invalid("a repeated attribute");
            skipSpace();
            if (peek() != '=')
                invalid("expected '=' after an attribute name");
            ++pos_;
            skipSpace();
            tag.attributes.emplace_back(attribute, attributeValue());
        }
    }

    void endTag(std::string_view expected)
    {
        skipSpace();
        if (!lookingAt("</"))
            invalid("expected </" + std::string(expected) + ">");
        pos_ += 2;
        if (name() != expected)
            invalid("expected </" + std::string(expected) + ">");
        skipSpace();
        if (peek() != '>')
            invalid("expected '>'");
        ++pos_;
    }

    bool atEndTag()
    {
        skipSpace();
        return lookingAt("</");
    }

    bool atStartTag(std::string_view tagName) const
    {
        if (!lookingAt("<") || !lookingAt(std::string("<").append(tagName)))
            return false;
        const std::size_t after = pos_ + 1 + tagName.size();
        return after < doc_.size() && (isSpace(doc_[after]) || doc_[after] == '>' || doc_[after] == '/');
    }

    std::string takeAttribute(Tag& tag, std::string_view attribute)
    {
        for (auto it = tag.attributes.begin(); it != tag.attributes.end(); ++it) {
            if (it->first == attribute) {
                std::string value = std::move(it->second);
                tag.attributes.erase(it);
                return value;
            }
        }
        invalid("<" + std::string(tag.name) + "> lacks the attribute " + std::string(attribute));
    }

    void noMoreAttributes(const Tag& tag)
    {
        if (!tag.attributes.empty())
            invalid("<" + std::string(tag.name) + "> has an unknown attribute "
                    + std::string(tag.attributes.front().first));
    }

    std::uint64_t parseUnsigned(std::string_view text, const char* what)
    {
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size())
            invalid(std::string("a bad ") + what);
        return value;
    }

    void readFields(DecodedStore& store)
    {
        const Tag fields = startTag("fields");
        if (!fields.attributes.empty())
            invalid("<fields> has an unknown attribute");
        if (fields.selfClosing)
            return;
        while (!atEndTag()) {
            Tag tag = startTag("field");
            if (!tag.selfClosing)
                invalid("<field> must be empty");
            FieldDef field;
            field.name = takeAttribute(tag, "name");
            const std::string kind = takeAttribute(tag, "kind");
            if (kind == "text")
                field.kind = FieldKind::Text;
            else if (kind == "integer")
                field.kind = FieldKind::Integer;
            else
                invalid("unknown field kind");
            const std::uint64_t size = parseUnsigned(takeAttribute(tag, "size"), "field size");
            if (size > static_cast<std::uint64_t>(std::numeric_limits<int>::max()))
                invalid("a bad field size");
            field.size = static_cast<int>(size);
            const std::string required = takeAttribute(tag, "required");
            if (required != "yes" && required != "no")
                invalid("bad required flag");
            field.required = required == "yes";
            noMoreAttributes(tag);
            if (!isValidFieldName(field.name))
                invalid("a field name is empty, too long or not valid text");
            store.fields.push_back(std::move(field));
        }
        if (hasRepeatedFieldName(store.fields))
            invalid("a field name appears twice");
        endTag("fields");
    }

    void readRecords(DecodedStore& store)
    {
        const Tag records = startTag("records");
        if (!records.attributes.empty())
            invalid("<records> has an unknown attribute");
        if (records.selfClosing)
            return;
        while (!atEndTag()) {
            if (store.fields.empty())
                invalid("records without fields");
            const Tag tag = startTag("record");
            if (!tag.attributes.empty())
                invalid("<record> has an unknown attribute");
            Record record;
            record.reserve(store.fields.size());
            if (!tag.selfClosing) {
                while (!atEndTag()) {
                    if (record.size() == store.fields.size())
                        invalid("a record holds more values than there are fields");
                    record.push_back(value(store.fields[record.size()]));
                }
                endTag("record");
            }
            if (record.size() != store.fields.size())
                invalid("a record holds fewer values than there are fields");
            store.records.push_back(std::move(record));
        }
        endTag("records");
    }

    StoredValue value(const FieldDef& field)
    {
        skipSpace();
        if (atStartTag("null")) {
            const Tag tag = startTag("null");
            if (!tag.attributes.empty())
                invalid("<null> has an unknown attribute");
            if (!tag.selfClosing)
                endTag("null");
            return std::nullopt;
        }
        const Tag tag = startTag("value");
        if (!tag.attributes.empty())
            invalid("<value> has an unknown attribute");
        std::string text;
        if (!tag.selfClosing)
            text = valueText();
        if (field.kind == FieldKind::Text)
            return FieldValue(std::move(text));
        std::int32_t number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()
            || text[0] == '+')
            invalid("a bad integer value");
        return FieldValue(number);
    }

    // The content of a <value> element up to and including its end tag: characters,
    // references and <char code="HEX"/> elements. Line ends are normalised as XML
    // requires (CR LF and a lone CR read as LF); the writer never leaves one raw.
    std::string valueText()
    {
        std::string text;
        for (;;) {
            if (atEnd())
                invalid("an unterminated <value>");
            const char c = doc_[pos_];
            if (c == '&') {
                reference(text);
            } else if (c == '<') {
                if (lookingAt("</"))
                    break;
                if (!atStartTag("char"))
                    invalid("unexpected markup inside <value>");
                Tag tag = startTag("char");
                const std::string code = takeAttribute(tag, "code");
                noMoreAttributes(tag);
                if (!tag.selfClosing)
                    invalid("<char> must be empty");
                unsigned long cp = 0;
                const auto [end, ec] =
                    std::from_chars(code.data(), code.data() + code.size(), cp, 16);
                if (code.empty() || code.size() > 6 || ec != std::errc()
                    || end != code.data() + code.size() || cp > 0x10FFFF
                    || isXmlChar(static_cast<long>(cp)) || (cp >= 0xD800 && cp <= 0xDFFF))
                    invalid("a bad <char> code");
                appendUtf8(text, static_cast<long>(cp));
            } else if (c == '>' && doc_.substr(pos_ - 2, 2) == "]]") {
                invalid("']]>' inside a value");
            } else if (c == '\r') {
                text += '\n';
                pos_ += lookingAt("\r\n") ? 2 : 1;
            } else {
                text += c;
                ++pos_;
            }
        }
        endTag("value");
        return text;
    }

    std::string_view doc_;
    std::size_t pos_ = 0;
};

bool startsWithXml(std::string_view content)
{
    return content.substr(0, 5) == "<?xml";
}

}  // namespace

std::uint32_t storeChecksum(std::string_view data)
{
    return crc32(data);
}

std::uint32_t storeChecksumPortable(std::string_view data)
{
    return crc32Tables(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(data.data()), data.size()) ^ 0xFFFFFFFFu;
}

StoreForm storeFormForFileName(std::string_view fileName)
{
    if (fileName.size() < 4)
        return StoreForm::Binary;
    return equalIgnoringAsciiCase(fileName.substr(fileName.size() - 4), ".xml") ? StoreForm::Xml : StoreForm::Binary;
}

std::string encodeStoreFrom(StoreForm form, const std::vector<FieldDef>& fields, std::size_t count,
                            const RecordSource& source, std::size_t sizeHint)
{
    checkFieldsForWriting(fields, count);
    return form == StoreForm::Xml ? encodeXml(fields, count, source, sizeHint)
                                  : encodeBinary(fields, count, source, sizeHint);
}

std::string encodeStore(StoreForm form, const std::vector<FieldDef>& fields,
                        const std::vector<const Record*>& records)
{
    std::size_t textBytes = 0;
    for (std::size_t r = 0; r < records.size(); ++r) {
        if (records[r] == nullptr || records[r]->size() != fields.size())
            fail("Cannot write the store: record " + std::to_string(r + 1)
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

static bool isBinaryStore(std::string_view content)
{
    return content.substr(0, binaryMagic.size()) == binaryMagic;
}

// Content that does not start with the binary magic: an XML store, or refused.
static DecodedStore decodeNonBinary(std::string_view content)
{
    if (content.empty())
        fail("The store file is empty");
    if (content.size() < binaryMagic.size() && binaryMagic.substr(0, content.size()) == content)
        fail("The store file is truncated");
    // A byte order mark is allowed in front of the XML declaration, as XML allows it.
    std::string_view xml = content;
    if (xml.substr(0, 3) == "\xEF\xBB\xBF")
        xml.remove_prefix(3);
    if (!startsWithXml(xml))
        fail("The content is not a store file of this program");
    return XmlStoreReader(xml).read();
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
