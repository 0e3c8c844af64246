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
    const std::string fieldsPart = le(2, 4) + le(1, 4) + "N" + "\x01"s + le(9, 4) + "\x01"s
                                 + le(1, 4) + "I" + "\x02"s + le(0, 4) + "\x00"s;
    const std::string recordsPart = "\x01"s + le(2, 4) + "hi" + "\x01"s + le(0xFFFFFFFE, 4) + "\x00\x00"s;
    const std::vector<FieldDef> fields{{"N", FieldKind::Text, 9, true}, {"I", FieldKind::Integer, 0, false}};
    const std::vector<Record> records{{text("hi"), integer(-2)}, {std::nullopt, std::nullopt}};

    // Version 1: the record count, then the records.
    const std::string first = handBuiltBinary(1, fieldsPart + le(2, 4) + recordsPart);
    EXPECT_EQ(decodeStore(first).fields, fields);
    EXPECT_EQ(decodeStore(first).records, records);
    EXPECT_EQ(errorOf(handBuiltBinary(1, fieldsPart + le(2, 4) + recordsPart + "\x00"s)),
              "The store file is damaged: data after the records");

    // Version 2, as written: the records' order between their count and the records,
    // here none (no fields).
    const std::string second = handBuiltBinary(2, fieldsPart + le(2, 4) + le(0, 4) + recordsPart);
    EXPECT_EQ(encodeStore(StoreForm::Binary, fields, pointers(records)), second);
    EXPECT_EQ(decodeStore(second).records, records);

    // An order by field 1, then field 0: the first record takes row 1, the second row 0.
    struct OrderSink : RecordSink {
        std::vector<std::uint32_t> columns, rows;
        std::size_t records = 0;
        void begin(const std::vector<FieldDef>&, std::size_t) override {}
        void order(const CarriedOrder& order) override
        {
            EXPECT_EQ(records, 0u) << "the order comes before the records";
            columns = order.columns();
            for (std::size_t position = 0; position < order.size(); ++position)
                rows.push_back(order.row(position));
        }
        void record(const ValueView*) override { ++records; }
    };
    const std::string orderPart = le(2, 4) + le(1, 4) + le(0, 4) + le(1, 4) + le(0, 4);
    const std::string ordered = handBuiltBinary(2, fieldsPart + le(2, 4) + orderPart + recordsPart);
    const std::vector<Record> readBack = records;
    const auto source = [&](std::size_t r, ValueView* values) {
        for (std::size_t f = 0; f < fields.size(); ++f)
            values[f] = viewOf(readBack[r][f]);
    };
    const StoreOrder order{{1, 0}, {1, 0}};
    EXPECT_EQ(encodeStoreFrom(StoreForm::Binary, fields, records.size(), source, 0, &order), ordered);
    OrderSink sink;
    decodeStoreInto(ordered, sink);
    EXPECT_EQ(sink.columns, (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(sink.rows, (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(sink.records, 2u);
    // The XML form carries no order.
    EXPECT_EQ(encodeStoreFrom(StoreForm::Xml, fields, records.size(), source, 0, &order),
              encodeStore(StoreForm::Xml, fields, pointers(records)));

    // What the order says is not the reader's to check, only its length.
    EXPECT_EQ(errorOf(handBuiltBinary(2, fieldsPart + le(2, 4) + le(0x40000000, 4) + recordsPart)),
              "The store file is damaged: the records' order runs past the end");
    EXPECT_EQ(errorOf(handBuiltBinary(2, fieldsPart + le(2, 4) + le(1, 4) + le(7, 4) + le(5, 4))),
              "The store file is damaged: the records' order runs past the end");
    EXPECT_EQ(decodeStore(handBuiltBinary(2, fieldsPart + le(2, 4) + le(1, 4) + le(9, 4) + le(5, 4) + le(5, 4)
                                                 + recordsPart))
                  .records,
              records);
    EXPECT_EQ(errorOf(handBuiltBinary(3, fieldsPart + le(2, 4) + le(0, 4) + recordsPart)),
              "The store file was written by a newer version of this program: format 3");
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
