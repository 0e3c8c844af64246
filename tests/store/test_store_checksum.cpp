// The store checksum: the fast way (carry-less multiplication where the processor
// has it) and the plain table-driven way agree on every length and alignment, and
// both give the standard CRC-32 values.

#include "StoreFormat.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

TEST(StoreChecksum, KnownValues)
{
    EXPECT_EQ(storeChecksum(""), 0u);
    EXPECT_EQ(storeChecksum("123456789"), 0xCBF43926u);
    EXPECT_EQ(storeChecksumPortable("123456789"), 0xCBF43926u);
    const std::string zeros(4096, '\0');
    EXPECT_EQ(storeChecksum(zeros), storeChecksumPortable(zeros));
    const std::string ones(1000, '\xFF');
    EXPECT_EQ(storeChecksum(ones), storeChecksumPortable(ones));
}

TEST(StoreChecksum, FastAndPortableWaysAgreeOnEveryLengthAndAlignment)
{
    std::mt19937 random(99);
    std::string data(70000, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    const std::string_view all(data);
    // Around the 16- and 64-byte steps of the folding, from every alignment.
    for (std::size_t offset = 0; offset < 16; ++offset)
        for (std::size_t length = 0; length <= 300; ++length)
            ASSERT_EQ(storeChecksum(all.substr(offset, length)), storeChecksumPortable(all.substr(offset, length)))
                << "offset " << offset << " length " << length;
    for (int i = 0; i < 50; ++i) {
        const std::size_t offset = random() % 1000;
        const std::size_t length = random() % (data.size() - offset);
        ASSERT_EQ(storeChecksum(all.substr(offset, length)), storeChecksumPortable(all.substr(offset, length)));
    }
    EXPECT_EQ(storeChecksum(all), storeChecksumPortable(all));
}
