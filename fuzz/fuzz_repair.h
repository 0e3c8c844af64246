#pragma once
// Shared by the fuzz targets: a binary store's checksum would stop almost every
// mutation at the first check, so an input that starts with the binary magic is also
// tried with its total length and checksum repaired, which lets the mutations reach
// the structure reader behind them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fuzzing {

// A plain bit-by-bit CRC-32, independent of the reader's table-driven one, so a
// fault there is not repeated here.
inline std::uint32_t bitwiseCrc32(std::string_view data)
{
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char ch : data) {
        c ^= static_cast<unsigned char>(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

inline void putLittleEndian(std::string& s, std::size_t at, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFFu);
}

inline constexpr std::string_view binaryMagic{"\x89QRL\r\n\x1A\n", 8};

// The input with the total length at offset 12 and the trailing checksum made to
// match its bytes, or nothing when it does not start like a binary store of at least
// the header's and checksum's size.
inline std::optional<std::string> repairedBinary(std::string_view input)
{
    if (input.size() < 24 || input.substr(0, 8) != binaryMagic)
        return std::nullopt;
    std::string repaired(input);
    putLittleEndian(repaired, 12, repaired.size(), 8);
    putLittleEndian(repaired, repaired.size() - 4,
                    bitwiseCrc32(std::string_view(repaired).substr(0, repaired.size() - 4)), 4);
    return repaired;
}

}  // namespace fuzzing
