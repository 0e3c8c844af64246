// The store checksum, CRC-32, computed eight bytes at a time with eight tables, or,
// where the processor can multiply without carries, by folding long runs with that.

#include "format/Checksum.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORREL_CRC_CLMUL 1
#include <immintrin.h>
#else
#define QUORREL_CRC_CLMUL 0
#endif

namespace {

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

}  // namespace

std::uint32_t storeChecksum(std::string_view data)
{
    return crc32(data);
}

std::uint32_t storeChecksumPortable(std::string_view data)
{
    return crc32Tables(0xFFFFFFFFu, reinterpret_cast<const unsigned char*>(data.data()), data.size()) ^ 0xFFFFFFFFu;
}
