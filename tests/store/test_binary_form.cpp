// The binary form: its documented layout, refusal of every cut and every flipped
// byte, the check of its text at every length and place, and a large store whose
// checksum is worked out while its records are read.

#include "format_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace formattest;

TEST(StoreFormat, BinaryLayoutIsTheDocumentedOne)
{
    ASSERT_EQ(referenceCrc("123456789"), 0xCBF43926u);
    // One text field "N" (size 9, required), one integer field "I"; two records.
    const std::string body = le(2, 4) + le(1, 4) + "N" + "\x01"s + le(9, 4) + "\x01"s
                           + le(1, 4) + "I" + "\x02"s + le(0, 4) + "\x00"s
                           + le(2, 4) + "\x01"s + le(2, 4) + "hi" + "\x01"s + le(0xFFFFFFFE, 4)
                           + "\x00\x00"s;
    const std::string built = handBuiltBinary(1, body);
    const DecodedStore store = decodeStore(built);
    const std::vector<FieldDef> fields{{"N", FieldKind::Text, 9, true}, {"I", FieldKind::Integer, 0, false}};
    EXPECT_EQ(store.fields, fields);
    EXPECT_EQ(store.records, (std::vector<Record>{{text("hi"), integer(-2)}, {std::nullopt, std::nullopt}}));
    const std::vector<Record> records = store.records;
    EXPECT_EQ(encodeStore(StoreForm::Binary, fields, pointers(records)), built);

    EXPECT_EQ(errorOf(handBuiltBinary(2, body)),
              "The store file was written by a newer version of this program: format 2");
    EXPECT_EQ(errorOf(handBuiltBinary(1, body + "\x00"s)), "The store file is damaged: data after the records");
}

TEST(StoreFormat, EveryTruncationAndEveryFlippedByteOfABinaryStoreIsRefused)
{
    const std::vector<Record> records = awkwardRecords();
    const std::string whole = encodeStore(StoreForm::Binary, schema(), pointers(records));
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_THROW(decodeStore(whole.substr(0, n)), RecordTableError) << "prefix " << n;
    EXPECT_EQ(errorOf(whole.substr(0, whole.size() - 1)),
              "The store file is truncated: " + std::to_string(whole.size() - 1) + " of "
                  + std::to_string(whole.size()) + " bytes");
    for (std::size_t i = 0; i < whole.size(); ++i) {
        for (const int mask : {0x01, 0x80, 0xFF}) {
            std::string damaged = whole;
            damaged[i] = static_cast<char>(damaged[i] ^ mask);
            EXPECT_THROW(decodeStore(damaged), RecordTableError) << "byte " << i;
        }
    }
    std::string body = whole;
    body[100] = static_cast<char>(body[100] ^ 1);
    EXPECT_EQ(errorOf(body), "The store file is damaged: checksum mismatch");
}

// The binary reader tells plain ASCII text from the rest a word at a time, a short
// text by a read that runs past its end. A byte with the top bit set must be seen
// at every place in texts of every length, in a record amid others and in the last
// one (whose text ends a few bytes before the buffer does), and a valid multi-byte
// character must be read back whole wherever it is.
TEST(StoreFormat, BinaryTextIsCheckedAtEveryLengthAndPlace)
{
    const std::vector<FieldDef> fields{{"A", FieldKind::Text, 100, false}, {"B", FieldKind::Text, 100, false}};
    // The test text is made of #s, found in the content and changed there; the
    // checksum at the end is made anew, so only the text's check can refuse it.
    const auto withText = [&](const std::string& probe, bool last, std::size_t at, const std::string& put) {
        std::vector<Record> records{{text("x"), text("yy")}, {text("zzz"), text("w")}};
        records.insert(last ? records.end() : records.begin() + 1, Record{text("k"), text(probe)});
        std::string content = encodeStore(StoreForm::Binary, fields, pointers(records));
        const std::size_t start = content.find(probe);
        std::copy(put.begin(), put.end(), content.begin() + static_cast<std::ptrdiff_t>(start + at));
        const std::uint32_t crc = storeChecksum(std::string_view(content).substr(0, content.size() - 4));
        for (std::size_t i = 0; i < 4; ++i)
            content[content.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
        return content;
    };
    for (std::size_t length = 1; length <= 40; ++length) {
        const std::string probe(length, '#');
        for (const bool last : {false, true}) {
            for (std::size_t at = 0; at < length; ++at) {
                SCOPED_TRACE("length " + std::to_string(length) + " at " + std::to_string(at) + (last ? " last" : ""));
                try {
                    decodeStore(withText(probe, last, at, "\xFF"));
                    ADD_FAILURE() << "a text holding byte FF was read";
                } catch (const RecordTableError& e) {
                    EXPECT_STREQ(e.what(), "The store file is damaged: text that is not valid UTF-8");
                }
                if (at + 1 < length) {
                    const DecodedStore store = decodeStore(withText(probe, last, at, "\xC3\xA9"));
                    std::string expected = probe;
                    expected[at] = '\xC3';
                    expected[at + 1] = '\xA9';
                    ASSERT_EQ(store.records.size(), 3u);
                    EXPECT_EQ(store.records[last ? 2 : 1][1], StoredValue(text(expected)));
                }
            }
        }
    }
}

// A large binary store has its checksum worked out while its records are read. The
// outcome must be that of checking first: a damaged store is refused as a checksum
// mismatch whatever else reading it met, and the reader never hears it is whole.
TEST(StoreFormat, ALargeBinaryStoreIsWholeOnlyWhenItsChecksumHolds)
{
    struct CountingSink : RecordSink {
        std::size_t records = 0, ends = 0;
        void begin(const std::vector<FieldDef>&, std::size_t) override {}
        void record(const ValueView*) override { ++records; }
        void end() override { ++ends; }
    };
    std::vector<Record> records;
    for (int i = 0; i < 40000; ++i)  // well over a megabyte
        records.push_back({text("site" + std::to_string(i)), text("login"), text(std::string(20, 'p')), std::nullopt,
                           integer(i % 3)});
    const std::string good = encodeStore(StoreForm::Binary, schema(), pointers(records));
    ASSERT_GT(good.size(), std::size_t{1} << 20);
    {
        CountingSink sink;
        decodeStoreInto(good, sink);
        EXPECT_EQ(sink.records, records.size());
        EXPECT_EQ(sink.ends, 1u);
    }
    const std::size_t lastText = good.rfind("site39999");
    const std::size_t firstMarker = good.find("site0") - 5;  // the marker before its length
    ASSERT_NE(lastText, std::string::npos);
    ASSERT_EQ(good[firstMarker], '\x01');
    const auto damaged = [&](std::size_t at, char value) {
        std::string copy = good;
        copy[at] = value;
        return copy;
    };
    const auto refusal = [](const std::string& content, CountingSink& sink) {
        try {
            decodeStoreInto(content, sink);
        } catch (const RecordTableError& e) {
            return std::string(e.what());
        }
        return std::string("read");
    };
    // A changed letter reads as a valid record; only the checksum tells.
    CountingSink letter;
    EXPECT_EQ(refusal(damaged(lastText, 'S'), letter), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(letter.ends, 0u);
    // A bad value marker, a text that is not UTF-8, a format version of 0: each
    // would be refused on its own, but the mismatch is what is reported.
    CountingSink marker, utf8, version;
    EXPECT_EQ(refusal(damaged(firstMarker, '\x07'), marker), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(refusal(damaged(lastText, '\xFF'), utf8), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(refusal(damaged(8, '\0'), version), "The store file is damaged: checksum mismatch");
    EXPECT_EQ(marker.ends + utf8.ends + version.ends, 0u);
}
