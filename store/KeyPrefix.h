#pragma once
// KeyPrefix, the first 24 bytes of an order-preserving encoding of a record's key,
// which the field ordering carries beside every entry, and PrefixBuilder, which
// encodes key values into one. Header only: sorting, inserting and searching build,
// mask and compare these for every record they touch.

#include "FieldTypes.h"
#include "ValueView.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The first 24 bytes of a byte string whose order is the order of a record's key:
// each key value in turn, a text as its bytes (a zero byte written as 00 FF) ended
// by 00 00, an integer as its four bytes, most significant first, with the sign bit
// flipped. A null or empty text, or a null or lowest integer, ends the string, since
// the bytes cannot tell those apart; what follows is left zero. Where the prefixes of
// two keys differ their order is the keys' order; where they are equal the values
// decide. Carried beside every entry of the ordering, the prefix spares most
// comparisons a visit to the record. 24 bytes hold most site names and the start
// of the login after them, so records of one site are told apart here too.
struct KeyPrefix {
    static constexpr std::size_t bytes = 24;
    std::uint64_t word[3] = {};  // the bytes, eight to a word, most significant first

    friend bool operator==(const KeyPrefix&, const KeyPrefix&) = default;
    // -1, 0 or 1 as a goes before, with or after b.
    friend int compare(const KeyPrefix& a, const KeyPrefix& b)
    {
        for (std::size_t i = 0; i < 3; ++i) {
            if (a.word[i] != b.word[i])
                return a.word[i] < b.word[i] ? -1 : 1;
        }
        return 0;
    }
};

class PrefixBuilder {
public:
    bool full() const { return n_ == KeyPrefix::bytes || stopped_; }
    // Every value added is in the prefix whole (none was cut short or ended it), so
    // the prefix's first length() bytes are the values' whole encoding.
    bool complete() const { return !stopped_ && !lost_; }
    std::size_t length() const { return n_; }

    void add(const ValueView& v, FieldKind kind)
    {
        if (full()) {
            lost_ = true;
            return;
        }
        if (kind == FieldKind::Integer) {
            const std::uint32_t u = v.kind == ValueView::Kind::Null
                                        ? 0u
                                        : static_cast<std::uint32_t>(v.number) ^ 0x80000000u;
            for (int i = 3; i >= 0; --i)
                put(static_cast<unsigned char>(u >> (8 * i)));
            stopped_ = u == 0;
            return;
        }
        if (v.kind == ValueView::Kind::Null || v.text.empty()) {
            put(0);
            put(0);
            stopped_ = true;
            return;
        }
        // Most texts hold no zero byte: their leading bytes are copied as they are.
        const std::size_t take = std::min(v.text.size(), KeyPrefix::bytes - n_);
        if (std::memchr(v.text.data(), 0, take) == nullptr) {
            std::memcpy(bytes_ + n_, v.text.data(), take);
            n_ += take;
            if (take < v.text.size()) {
                lost_ = true;
                return;
            }
        } else {
            for (const char c : v.text) {
                if (n_ == KeyPrefix::bytes) {
                    lost_ = true;
                    return;
                }
                const auto b = static_cast<unsigned char>(c);
                put(b);
                if (b == 0)
                    put(0xFF);
            }
        }
        put(0);
        put(0);
    }

    KeyPrefix prefix() const
    {
        KeyPrefix k;
        for (std::size_t w = 0; w < 3; ++w)
            for (std::size_t i = 0; i < 8; ++i)
                k.word[w] = (k.word[w] << 8) | bytes_[8 * w + i];
        return k;
    }

private:
    void put(unsigned char b)
    {
        if (n_ < KeyPrefix::bytes)
            bytes_[n_++] = b;
        else
            lost_ = true;
    }

    unsigned char bytes_[KeyPrefix::bytes] = {};
    std::size_t n_ = 0;
    bool stopped_ = false;  // a value ended the encoding early
    bool lost_ = false;     // a byte did not fit
};

// The mask that keeps the first `length` bytes of a prefix and clears the rest.
inline KeyPrefix leadingBytesMask(std::size_t length)
{
    KeyPrefix mask;
    for (std::size_t w = 0, left = length; w < 3; ++w, left = left > 8 ? left - 8 : 0)
        mask.word[w] = left >= 8 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (8 * left));
    return mask;
}

// The bytes of k that mask keeps, the others zero.
inline KeyPrefix masked(const KeyPrefix& k, const KeyPrefix& mask)
{
    KeyPrefix m;
    for (std::size_t w = 0; w < 3; ++w)
        m.word[w] = k.word[w] & mask.word[w];
    return m;
}
