#pragma once
// A record as an open table keeps it: one run of packed bytes (PackedRecord), the
// encoding of its values, and RecordPool, the large blocks every record lives in.
// The value encoding is inline: every read, sort and search goes through it.

#include "FieldTypes.h"
#include "ValueView.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

// A record is this header followed by its values, packed one after the other in
// field order. A text value is its byte length plus one as a base-128
// varint (0 for null) followed by its bytes; an integer value is a byte 0 (null) or
// 1 followed by its four bytes, least significant first.
struct PackedRecord {
    void* storageHome = nullptr;  // the storage tree's leaf holding this record
    void* orderHome = nullptr;    // the field ordering's leaf holding it, if any
    std::uint32_t seq = 0;        // rises with storage order while a field ordering is in force
    std::uint32_t bytes = 0;      // length of the packed values

    unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
    const unsigned char* data() const { return reinterpret_cast<const unsigned char*>(this + 1); }
};

inline unsigned char* putVarint(unsigned char* p, std::uint64_t v)
{
    while (v >= 0x80) {
        *p++ = static_cast<unsigned char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<unsigned char>(v);
    return p;
}

inline std::size_t varintSize(std::uint64_t v)
{
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

inline const unsigned char* getVarint(const unsigned char* p, std::uint64_t& v)
{
    v = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char b = *p++;
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0)
            return p;
    }
}

inline std::size_t packedSize(const ValueView& v, FieldKind kind)
{
    if (kind == FieldKind::Integer)
        return v.kind == ValueView::Kind::Null ? 1 : 5;
    if (v.kind == ValueView::Kind::Null)
        return 1;
    return varintSize(std::uint64_t{v.text.size()} + 1) + v.text.size();
}

// Copies a text's bytes to p. Most texts take 8 to 32 bytes: those are copied as four
// words (the first and last 16 bytes, or 8, overlapping as they may), all read before
// any is written, with no call and no loop.
inline void copyText(unsigned char* p, std::string_view text)
{
    const std::size_t n = text.size();
    if (n < 8 || n > 32) {
        if (n > 0)
            std::memcpy(p, text.data(), n);
        return;
    }
    const std::size_t mid = n >= 16 ? 8 : 0;
    const char* s = text.data();
    std::uint64_t a, b, c, d;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + mid, 8);
    std::memcpy(&c, s + n - 8 - mid, 8);
    std::memcpy(&d, s + n - 8, 8);
    std::memcpy(p, &a, 8);
    std::memcpy(p + mid, &b, 8);
    std::memcpy(p + n - 8 - mid, &c, 8);
    std::memcpy(p + n - 8, &d, 8);
}

inline unsigned char* putValue(unsigned char* p, const ValueView& v, FieldKind kind)
{
    if (kind == FieldKind::Integer) {
        if (v.kind == ValueView::Kind::Null) {
            *p++ = 0;
            return p;
        }
        *p++ = 1;
        const auto u = static_cast<std::uint32_t>(v.number);
        for (int i = 0; i < 4; ++i)
            *p++ = static_cast<unsigned char>(u >> (8 * i));
        return p;
    }
    if (v.kind == ValueView::Kind::Null) {
        *p++ = 0;
        return p;
    }
    p = putVarint(p, std::uint64_t{v.text.size()} + 1);
    copyText(p, v.text);
    return p + v.text.size();
}

// Reads the value at p and returns the position after it. The view is set member by
// member (only those its kind uses), which spares a copy through the stack.
inline const unsigned char* getValue(const unsigned char* p, FieldKind kind, ValueView& v)
{
    if (kind == FieldKind::Integer) {
        if (*p++ == 0) {
            v.kind = ValueView::Kind::Null;
            return p;
        }
        std::uint32_t u = 0;
        for (int i = 0; i < 4; ++i)
            u |= std::uint32_t{p[i]} << (8 * i);
        v.kind = ValueView::Kind::Integer;
        v.number = static_cast<std::int32_t>(u);
        return p + 4;
    }
    std::uint64_t length = 0;
    p = getVarint(p, length);
    if (length == 0) {
        v.kind = ValueView::Kind::Null;
        return p;
    }
    --length;
    v.kind = ValueView::Kind::Text;
    v.text = std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
    return p + length;
}

inline const unsigned char* skipValue(const unsigned char* p, FieldKind kind)
{
    if (kind == FieldKind::Integer)
        return *p == 0 ? p + 1 : p + 5;
    std::uint64_t length = 0;
    p = getVarint(p, length);
    return length == 0 ? p : p + (length - 1);
}

inline std::size_t packedBytes(const ValueView* values, const std::vector<FieldDef>& fields)
{
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < fields.size(); ++i)
        bytes += packedSize(values[i], fields[i].kind);
    if (bytes >= (std::size_t{1} << 31))
        throw std::bad_alloc();
    return bytes;
}

inline PackedRecord* writeRecord(void* memory, std::size_t bytes, const ValueView* values, const std::vector<FieldDef>& fields)
{
    auto* r = new (memory) PackedRecord;
    r->bytes = static_cast<std::uint32_t>(bytes);
    unsigned char* p = r->data();
    for (std::size_t i = 0; i < fields.size(); ++i)
        p = putValue(p, values[i], fields[i].kind);
    return r;
}

// Where every record of an open table lives: records are packed one after the other
// into large blocks, so that adding or reading a record costs no allocation of its
// own and no allocator overhead, and closing frees a few blocks instead of every
// record. A record that is deleted or replaced keeps its bytes until the table
// closes; a table changes little between opening and closing, so little is held.
class RecordPool {
public:
    // Makes the next block large enough for records whose packed values take at
    // most valueBytes in all (as when a whole file is read).
    void reserve(std::size_t records, std::size_t valueBytes);

    // A record of values (one per field, each of its field's kind).
    PackedRecord* pack(const ValueView* values, const std::vector<FieldDef>& fields)
    {
        const std::size_t bytes = packedBytes(values, fields);
        const std::size_t need = span(bytes);
        if (capacity_ - used_ < need)
            addBlock(std::max(need, blockBytes));
        PackedRecord* r = writeRecord(blocks_.back().get() + used_, bytes, values, fields);
        used_ += need;
        return r;
    }

    void clear();

    // A point in the packing: the records packed before it are those packed before
    // mark() gave it, and they stay where they are until clear().
    struct Mark {
        std::size_t blocks = 0, used = 0;  // blocks begun, and bytes used of the last
    };
    Mark mark() const { return Mark{blocks_.size(), used_}; }
    // Visits every record packed from `from` to `to`, in the order they were packed.
    // A visit that returns false ends the walk.
    template <class Visit>
    void forEachPacked(Mark from, Mark to, Visit visit) const
    {
        for (std::size_t b = from.blocks == 0 ? 0 : from.blocks - 1; b < to.blocks; ++b) {
            const unsigned char* p = blocks_[b].get() + (b + 1 == from.blocks ? from.used : 0);
            for (const unsigned char* end = blocks_[b].get() + usedBefore(b, to); p < end;) {
                const auto* r = reinterpret_cast<const PackedRecord*>(p);
                if constexpr (std::is_same_v<decltype(visit(r)), bool>) {
                    if (!visit(r))
                        return;
                } else {
                    visit(r);
                }
                p += span(r->bytes);
            }
        }
    }

    // Brings in the memory of the next `bytes` of the last block on a second
    // thread (see bringInInBackground), for a caller about to fill them.
    std::jthread bringInInBackground(std::size_t bytes) const;

private:
    static constexpr std::size_t blockBytes = std::size_t{1} << 20;

    void addBlock(std::size_t bytes);
    // The bytes a record of `bytes` packed values takes in a block, header included.
    static std::size_t span(std::size_t bytes)
    {
        return (sizeof(PackedRecord) + bytes + alignof(PackedRecord) - 1) & ~(alignof(PackedRecord) - 1);
    }
    // The bytes of block b that held records when mark was given.
    std::size_t usedBefore(std::size_t b, Mark mark) const { return b + 1 < mark.blocks ? filled_[b] : mark.used; }

    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::vector<std::size_t> filled_;      // the bytes used of every block before the last
    std::size_t capacity_ = 0, used_ = 0;  // of the last block
};
