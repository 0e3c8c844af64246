// The table keeps each record as one run of packed bytes in large blocks it owns
// (RecordPool), and the records' two orders in counted B+ trees: storage order, and
// the field ordering in force, whose entries carry the first 24 bytes of an
// order-preserving encoding of the record's key (KeyPrefix), so that searching,
// inserting and sorting mostly compare those bytes and seldom visit a record.
// Counts in the trees give a record's row and the record at a row in O(log n).

#include "RecordTable.h"

#include "CountedBTree.h"
#include "FreshMemory.h"
#include "StoreFile.h"
#include "StoreFormat.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <exception>
#include <set>
#include <thread>
#include <utility>

namespace {

constexpr int maxIndexNameLength = 31;
constexpr std::size_t maxIndexFields = 16;

// ---------------------------------------------------------------------------------
// Records and their two orders.

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

unsigned char* putVarint(unsigned char* p, std::uint64_t v)
{
    while (v >= 0x80) {
        *p++ = static_cast<unsigned char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<unsigned char>(v);
    return p;
}

std::size_t varintSize(std::uint64_t v)
{
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

const unsigned char* getVarint(const unsigned char* p, std::uint64_t& v)
{
    v = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char b = *p++;
        v |= std::uint64_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0)
            return p;
    }
}

std::size_t packedSize(const ValueView& v, FieldKind kind)
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
void copyText(unsigned char* p, std::string_view text)
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

unsigned char* putValue(unsigned char* p, const ValueView& v, FieldKind kind)
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
const unsigned char* getValue(const unsigned char* p, FieldKind kind, ValueView& v)
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

const unsigned char* skipValue(const unsigned char* p, FieldKind kind)
{
    if (kind == FieldKind::Integer)
        return *p == 0 ? p + 1 : p + 5;
    std::uint64_t length = 0;
    p = getVarint(p, length);
    return length == 0 ? p : p + (length - 1);
}

std::size_t packedBytes(const ValueView* values, const std::vector<FieldDef>& fields)
{
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < fields.size(); ++i)
        bytes += packedSize(values[i], fields[i].kind);
    if (bytes >= (std::size_t{1} << 31))
        throw std::bad_alloc();
    return bytes;
}

PackedRecord* writeRecord(void* memory, std::size_t bytes, const ValueView* values, const std::vector<FieldDef>& fields)
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
    void reserve(std::size_t records, std::size_t valueBytes)
    {
        addBlock(valueBytes + records * (sizeof(PackedRecord) + alignof(PackedRecord)));
    }

    // A record of values (one per field, each of its field's kind).
    PackedRecord* pack(const ValueView* values, const std::vector<FieldDef>& fields)
    {
        const std::size_t bytes = packedBytes(values, fields);
        const std::size_t need = (sizeof(PackedRecord) + bytes + alignof(PackedRecord) - 1)
                                 & ~(alignof(PackedRecord) - 1);
        if (capacity_ - used_ < need)
            addBlock(std::max(need, blockBytes));
        PackedRecord* r = writeRecord(blocks_.back().get() + used_, bytes, values, fields);
        used_ += need;
        return r;
    }

    void clear()
    {
        blocks_.clear();
        capacity_ = used_ = 0;
    }

    // Brings in the memory of the next `bytes` of the last block on a second
    // thread (see bringInInBackground), for a caller about to fill them.
    std::jthread bringInInBackground(std::size_t bytes) const
    {
        if (blocks_.empty())
            return {};
        return ::bringInInBackground(blocks_.back().get() + used_, std::min(bytes, capacity_ - used_));
    }

private:
    static constexpr std::size_t blockBytes = std::size_t{1} << 20;

    void addBlock(std::size_t bytes)
    {
        blocks_.emplace_back(new unsigned char[bytes]);  // left untouched until used
        capacity_ = bytes;
        used_ = 0;
    }

    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t capacity_ = 0, used_ = 0;  // of the last block
};

StoredValue storedOf(const ValueView& v)
{
    switch (v.kind) {
    case ValueView::Kind::Text: return FieldValue(std::string(v.text));
    case ValueView::Kind::Integer: return FieldValue(v.number);
    case ValueView::Kind::Null: break;
    }
    return std::nullopt;
}

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

// A few values on the stack, more on the heap: a key or a record being added needs no
// allocation of its own in the common case.
template <class T, std::size_t N>
class SmallBuffer {
public:
    explicit SmallBuffer(std::size_t n) : size_(n)
    {
        if (n > N)
            heap_.resize(n);
    }
    T* data() { return size_ > N ? heap_.data() : local_.data(); }
    T& operator[](std::size_t i) { return data()[i]; }

private:
    std::size_t size_;
    std::array<T, N> local_{};
    std::vector<T> heap_;
};

struct StorageEntry {
    PackedRecord* rec = nullptr;
};

struct OrderEntry {
    KeyPrefix key;
    PackedRecord* rec = nullptr;
};

struct StorageHome {
    using Rec = PackedRecord;
    static void*& home(PackedRecord* r) { return r->storageHome; }
};

struct OrderHome {
    using Rec = PackedRecord;
    static void*& home(PackedRecord* r) { return r->orderHome; }
};

using StorageTree = CountedBTree<StorageEntry, StorageHome, 128, 64>;
using OrderTree = CountedBTree<OrderEntry, OrderHome, 64, 64>;

// ---------------------------------------------------------------------------------
// Text helpers. Values are UTF-8; sizes count code points.

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t codePointCount(std::string_view s)
{
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return !isContinuationByte(c); }));
}

// The bytes of the first `size` characters of s, never splitting one.
std::size_t cutLength(std::string_view s, int size)
{
    const std::size_t limit = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (s.size() <= limit)
        return s.size();  // a character takes at least one byte
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!isContinuationByte(s[i])) {
            if (seen == limit)
                return i;
            ++seen;
        }
    }
    return s.size();
}

// Keeps the first `size` characters, never splitting one.
std::string cutToSize(std::string s, int size)
{
    s.resize(cutLength(s, size));
    return s;
}

// A field list: names separated by ";", each stripped of surrounding blanks. The
// empty text is the empty list.
std::vector<std::string> splitFieldList(std::string_view text)
{
    std::vector<std::string> names;
    if (text.empty())
        return names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        std::string_view name = text.substr(start, end - start);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        names.emplace_back(name);
        if (end == text.size())
            return names;
        start = end + 1;
    }
}

std::optional<std::int32_t> parseInteger(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

[[noreturn]] void failPlain(const std::string& text)
{
    throw RecordTableError(text);
}

std::int32_t toInteger(std::string_view text)
{
    if (auto value = parseInteger(text))
        return *value;
    failPlain("'" + std::string(text) + "' is not a valid integer value");
}

// A value of either kind seen as a value of the field's kind, cut to its size; the
// view is into value, or into scratch when a number becomes text.
ValueView viewForField(const FieldValue& value, const FieldDef& field, std::string& scratch)
{
    if (field.kind == FieldKind::Text) {
        std::string_view text;
        if (const auto* given = std::get_if<std::string>(&value)) {
            text = *given;
        } else {
            scratch = std::to_string(std::get<std::int32_t>(value));
            text = scratch;
        }
        return ValueView{ValueView::Kind::Text, text.substr(0, cutLength(text, field.size)), 0};
    }
    if (const auto* number = std::get_if<std::int32_t>(&value))
        return ValueView{ValueView::Kind::Integer, {}, *number};
    return ValueView{ValueView::Kind::Integer, {}, toInteger(std::get<std::string>(value))};
}

std::string displayText(const ValueView& value)
{
    switch (value.kind) {
    case ValueView::Kind::Text: return std::string(value.text);
    case ValueView::Kind::Integer: return std::to_string(value.number);
    case ValueView::Kind::Null: break;
    }
    return {};
}

std::string displayText(const StoredValue& value)
{
    return displayText(viewOf(value));
}

// Null first, then by kind, then text byte by byte (letter case distinguished) or
// integers by value.
int compareValues(const ValueView& a, const ValueView& b, bool caseInsensitive = false)
{
    if (a.kind != b.kind)
        return a.kind < b.kind ? -1 : 1;
    if (a.kind == ValueView::Kind::Null)
        return 0;
    if (a.kind == ValueView::Kind::Integer)
        return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    if (!caseInsensitive) {
        const int c = a.text.compare(b.text);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    const std::size_t n = std::min(a.text.size(), b.text.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto cx = static_cast<unsigned char>(asciiLower(a.text[i]));
        const auto cy = static_cast<unsigned char>(asciiLower(b.text[i]));
        if (cx != cy)
            return cx < cy ? -1 : 1;
    }
    return a.text.size() < b.text.size() ? -1 : (a.text.size() > b.text.size() ? 1 : 0);
}

// Reads records' values: a record holds no description of itself, so every read
// goes through the fields' kinds.
class RecordReader {
public:
    explicit RecordReader(const std::vector<FieldDef>& fields) : fields_(&fields) {}

    ValueView value(const PackedRecord* r, std::size_t column) const
    {
        const unsigned char* p = r->data();
        for (std::size_t i = 0; i < column; ++i)
            p = skipValue(p, kind(i));
        ValueView v;
        getValue(p, kind(column), v);
        return v;
    }

    // Every value of a record, into out (one slot per field).
    void values(const PackedRecord* r, ValueView* out) const
    {
        const unsigned char* p = r->data();
        for (std::size_t i = 0; i < fields_->size(); ++i)
            p = getValue(p, kind(i), out[i]);
    }

    Record unpack(const PackedRecord* r) const
    {
        std::vector<ValueView> views(fields_->size());
        values(r, views.data());
        Record record;
        record.reserve(views.size());
        for (const ValueView& v : views)
            record.push_back(storedOf(v));
        return record;
    }

    PackedRecord* pack(const Record& record, RecordPool& pool) const
    {
        std::vector<ValueView> views;
        views.reserve(record.size());
        for (const StoredValue& value : record)
            views.push_back(viewOf(value));
        return pool.pack(views.data(), *fields_);
    }

    int compareOn(const std::vector<int>& columns, const PackedRecord* a, const PackedRecord* b,
                  bool caseInsensitive = false) const
    {
        for (const int column : columns) {
            const auto i = static_cast<std::size_t>(column);
            if (const int c = compareValues(value(a, i), value(b, i), caseInsensitive))
                return c;
        }
        return 0;
    }

    // The key prefix of a record under the given key columns.
    KeyPrefix prefix(const std::vector<int>& columns, const PackedRecord* r) const
    {
        PrefixBuilder builder;
        for (const int column : columns) {
            if (builder.full())
                break;
            const auto i = static_cast<std::size_t>(column);
            builder.add(value(r, i), kind(i));
        }
        return builder.prefix();
    }

    FieldKind kind(std::size_t column) const { return (*fields_)[column].kind; }

private:
    const std::vector<FieldDef>* fields_;
};

// A unique index: refuses a record whose values in its fields equal another's.
struct UniqueIndex {
    struct Less {
        RecordReader reader;
        std::vector<int> columns;
        bool caseInsensitive = false;
        bool operator()(const PackedRecord* a, const PackedRecord* b) const
        {
            return reader.compareOn(columns, a, b, caseInsensitive) < 0;
        }
    };
    std::string name;
    std::set<const PackedRecord*, Less> keys;
};

}  // namespace

// ---------------------------------------------------------------------------------

struct RecordTable::Impl {
    struct IndexDef {
        std::string name;
        std::string fields;
        IndexOptions options;
    };

    std::string tableName;
    std::string fileName;
    std::vector<FieldDef> fieldDefs;
    std::vector<IndexDef> indexDefs;
    std::string ordering;

    TableState state = TableState::Closed;
    std::vector<FieldDef> fields;
    RecordReader reader{fields};
    StorageTree storage;
    OrderTree order;               // filled only while a field ordering is in force
    std::string orderingInForce;   // the text of the ordering the records are in
    std::vector<int> keyColumns;   // its fields; empty for storage order
    std::uint32_t nextSeq = 0;
    PackedRecord* current = nullptr;
    bool changed = false;
    Record edit;                   // the values being edited (editing or inserting)
    bool editTouched = false;      // a field was set since beginEdit
    std::vector<UniqueIndex> uniqueIndexes;
    RecordPool pool;               // where the records live, see RecordPool

    // The row of one record, remembered until the next change to the orders: the
    // current record's row is asked for after every step, and a search or a sorted
    // insert finds it on the way down for nothing.
    std::uint64_t version = 0;     // rises with every change to either order
    struct RowMemo {
        const PackedRecord* record = nullptr;
        std::uint64_t version = 0;
        int row = -1;
    };
    mutable RowMemo rowMemo;

    std::vector<TableObserver*> observers;

    ~Impl() { releaseRecords(); }

    // --- errors

    [[noreturn]] void fail(const std::string& text) const
    {
        if (tableName.empty())
            throw RecordTableError(text);
        throw RecordTableError(tableName + ": " + text);
    }
    void requireOpen() const
    {
        if (state == TableState::Closed)
            fail("Cannot perform this operation on a closed dataset");
    }
    int findField(std::string_view name) const
    {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (equalIgnoringAsciiCase(fields[i].name, name))
                return static_cast<int>(i);
        }
        return -1;
    }
    int requireField(std::string_view name) const
    {
        const int column = findField(name);
        if (column < 0)
            fail("Field '" + std::string(name) + "' not found");
        return column;
    }
    bool editing() const { return state == TableState::Editing || state == TableState::Inserting; }
    // The value of a field as read now: the one being edited, else the current
    // record's; null when there is no current record.
    ValueView readValue(std::size_t column) const
    {
        if (editing())
            return viewOf(edit[column]);
        return current ? reader.value(current, column) : ValueView{};
    }

    // --- notifications (sent after a change is complete)

    template <class Call>
    void notify(Call call)
    {
        const std::vector<TableObserver*> targets = observers;  // a view may detach itself
        for (TableObserver* observer : targets) {
            if (std::find(observers.begin(), observers.end(), observer) != observers.end())
                call(*observer);
        }
    }
    void notifyState()
    {
        notify([s = state](TableObserver& o) { o.stateChanged(s); });
    }
    void notifyCurrent()
    {
        if (!observers.empty())  // the row is worked out only for someone to tell
            notify([r = currentRow()](TableObserver& o) { o.currentMoved(r); });
    }

    // --- rows

    bool byFields() const { return !keyColumns.empty(); }
    std::size_t count() const { return storage.size(); }
    int rowOf(PackedRecord* r) const
    {
        if (rowMemo.record == r && rowMemo.version == version)
            return rowMemo.row;
        const int row = static_cast<int>(byFields() ? order.rank(r) : storage.rank(r));
        remember(r, static_cast<std::size_t>(row));
        return row;
    }
    void remember(const PackedRecord* r, std::size_t row) const { rowMemo = RowMemo{r, version, static_cast<int>(row)}; }
    PackedRecord* recordAt(std::size_t row) const { return byFields() ? order.at(row).rec : storage.at(row).rec; }
    PackedRecord* firstRow() const { return byFields() ? order.first() : storage.first(); }
    PackedRecord* lastRow() const { return byFields() ? order.last() : storage.last(); }
    PackedRecord* nextRow(PackedRecord* r) const { return byFields() ? order.next(r) : storage.next(r); }
    PackedRecord* prevRow(PackedRecord* r) const { return byFields() ? order.prev(r) : storage.prev(r); }
    int currentRow() const { return current ? rowOf(current) : -1; }

    OrderEntry orderEntry(PackedRecord* r) const { return OrderEntry{reader.prefix(keyColumns, r), r}; }

    bool goesBefore(const OrderEntry& a, const OrderEntry& b) const
    {
        if (const int c = compare(a.key, b.key))
            return c < 0;
        const int c = reader.compareOn(keyColumns, a.rec, b.rec);
        return c < 0 || (c == 0 && a.rec->seq < b.rec->seq);
    }

    // Sorts n entries into the ordering's order. They are first spread by their
    // prefixes, one byte at a time from the most significant, into runs that share
    // their leading bytes (counting and moving, no comparisons); a short run, or one
    // whose prefixes are all equal, is sorted by comparing. spare has room for n.
    void sortEntries(OrderEntry* a, OrderEntry* spare, std::size_t n, std::size_t byte) const
    {
        if (n <= 48 || byte == KeyPrefix::bytes) {
            std::sort(a, a + n, [this](const OrderEntry& x, const OrderEntry& y) { return goesBefore(x, y); });
            return;
        }
        const auto digit = [byte](const OrderEntry& e) {
            return static_cast<std::size_t>((e.key.word[byte / 8] >> (56 - 8 * (byte % 8))) & 0xFFu);
        };
        std::array<std::size_t, 256> count{};
        for (std::size_t i = 0; i < n; ++i)
            ++count[digit(a[i])];
        if (count[digit(a[0])] == n) {
            sortEntries(a, spare, n, byte + 1);  // all share this byte
            return;
        }
        std::array<std::size_t, 256> next{};
        for (std::size_t d = 1; d < 256; ++d)
            next[d] = next[d - 1] + count[d - 1];
        for (std::size_t i = 0; i < n; ++i)
            spare[next[digit(a[i])]++] = a[i];
        std::copy(spare, spare + n, a);
        for (std::size_t d = 0, start = 0; d < 256; start += count[d], ++d) {
            if (count[d] > 1)
                sortEntries(a + start, spare + start, count[d], byte + 1);
        }
    }

    // Puts a record whose key has changed (or a new one) at its sorted place, and
    // returns that row.
    std::size_t insertInOrder(PackedRecord* r)
    {
        ++version;
        return order.insertSorted(orderEntry(r), [this](const OrderEntry& a, const OrderEntry& b) { return goesBefore(a, b); });
    }

    // Numbers the records in storage order again, from 0, when the numbers run out;
    // their relative order, and so the ordering, stays as it is.
    void renumberIfExhausted()
    {
        if (nextSeq != std::numeric_limits<std::uint32_t>::max())
            return;
        nextSeq = 0;
        storage.forEach([this](const StorageEntry& e) { e.rec->seq = nextSeq++; });
    }

    // Places a new record as an insert does: at its sorted place (and last in storage
    // order) under a field ordering, else just before the current record.
    // Returns the row it takes.
    std::size_t place(PackedRecord* r)
    {
        std::size_t row = 0;
        if (byFields()) {
            renumberIfExhausted();
            storage.insertBefore(nullptr, StorageEntry{r});
            r->seq = nextSeq++;
            row = insertInOrder(r);
        } else {
            row = current ? static_cast<std::size_t>(rowOf(current)) : count();
            ++version;
            storage.insertBefore(current, StorageEntry{r});
        }
        for (UniqueIndex& index : uniqueIndexes)
            index.keys.insert(r);
        return row;
    }

    // Adds a new record made of values, as an insert does, and makes it current. The
    // unique indexes are asked first, so a refused record leaves the table untouched.
    void addRecord(PackedRecord* r)
    {
        checkUnique(r, nullptr);
        const std::size_t row = place(r);
        current = r;
        remember(current, row);
        changed = true;
    }

    // Puts the records in the order of the given key columns (storage order when
    // empty); equal keys keep their storage order.
    void applyOrder(std::vector<int> columns, std::string text)
    {
        ++version;
        keyColumns = std::move(columns);
        orderingInForce = std::move(text);
        order.clear();
        if (!byFields())
            return;
        std::vector<OrderEntry> keyed;
        keyed.reserve(count());
        nextSeq = 0;
        storage.forEach([&](const StorageEntry& e) {
            e.rec->seq = nextSeq++;
            keyed.push_back(orderEntry(e.rec));
        });
        std::vector<OrderEntry> spare(keyed.size());
        sortEntries(keyed.data(), spare.data(), keyed.size(), 0);
        order.assign(keyed);
    }

    // Checks an ordering's field names and applies it; throws, keeping the ordering in
    // force, when one names no field.
    void applyOrdering(const std::string& text)
    {
        std::vector<int> columns;
        for (const std::string& name : splitFieldList(text))
            columns.push_back(requireField(name));
        applyOrder(std::move(columns), text);
    }

    // Throws the engine's refusal when a record would repeat a key of a unique index
    // held by a record other than `self`.
    void checkUnique(const PackedRecord* r, const PackedRecord* self) const
    {
        for (const UniqueIndex& index : uniqueIndexes) {
            const auto found = index.keys.find(r);
            if (found != index.keys.end() && *found != self)
                failPlain("Key violation in index '" + index.name + "'");
        }
    }

    // The last steps of createEmpty and open: browsing, unchanged, the ordering in
    // force and the first record current. An ordering naming a field the table lacks
    // is reported, but the table stays open in storage order, as after any refused
    // setOrdering.
    void startBrowsing()
    {
        keyColumns.clear();
        orderingInForce.clear();
        order.clear();
        changed = false;
        state = TableState::Browsing;
        std::exception_ptr orderingError;
        if (!ordering.empty()) {
            try {
                applyOrdering(ordering);
            } catch (const RecordTableError&) {
                orderingError = std::current_exception();
            }
        }
        current = firstRow();
        notify([](TableObserver& o) { o.tableOpened(); });
        notifyState();
        if (orderingError)
            std::rethrow_exception(orderingError);
    }

    void releaseRecords()
    {
        ++version;
        order.clear();
        uniqueIndexes.clear();
        storage.clear();
        pool.clear();
        current = nullptr;
    }

    // --- edits

    void dropEdit()
    {
        edit.clear();
        editTouched = false;
        state = TableState::Browsing;
    }

    // Puts the edited values in place of the current record's: a new record takes the
    // old one's place in storage order and its sorted place in the ordering.
    void replaceCurrent()
    {
        PackedRecord* r = reader.pack(edit, pool);
        checkUnique(r, current);
        PackedRecord* old = current;
        r->seq = old->seq;
        for (UniqueIndex& index : uniqueIndexes)
            index.keys.erase(old);
        ++version;
        storage.replace(old, StorageEntry{r});
        std::size_t row = 0;
        if (byFields()) {
            order.erase(old);
            row = insertInOrder(r);
        }
        for (UniqueIndex& index : uniqueIndexes)
            index.keys.insert(r);
        current = r;
        if (byFields())
            remember(r, row);
    }

    void post()
    {
        if (!editing())
            fail("Dataset not in edit or insert mode");
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].required && !edit[i])
                failPlain("Field '" + fields[i].name + "' must have a value");
        }
        if (state == TableState::Inserting) {
            addRecord(reader.pack(edit, pool));
            dropEdit();
            if (!observers.empty()) {
                const int row = currentRow();
                notify([row](TableObserver& o) { o.rowInserted(row); });
            }
        } else {
            const int from = currentRow();
            replaceCurrent();
            changed = true;
            dropEdit();
            const int to = currentRow();
            notify([from, to](TableObserver& o) { o.rowChanged(from, to); });
        }
        notifyCurrent();
        notifyState();
    }

    // Posts an edit in progress when a field was set, else drops it.
    void settle()
    {
        if (!editing())
            return;
        if (editTouched) {
            post();
        } else {
            dropEdit();
            notifyState();
        }
    }

    void moveTo(PackedRecord* r)
    {
        if (r == current)
            return;
        current = r;
        notifyCurrent();
    }
};

// ---------------------------------------------------------------------------------

RecordTable::RecordTable(std::string tableName) : impl_(std::make_unique<Impl>())
{
    impl_->tableName = std::move(tableName);
}

RecordTable::~RecordTable()
{
    try {
        close();
    } catch (...) {
        // A destructor must not throw; callers that care about the write close first.
    }
}

const std::string& RecordTable::tableName() const
{
    return impl_->tableName;
}

void RecordTable::setFileName(std::string path)
{
    impl_->fileName = std::move(path);
}

const std::string& RecordTable::fileName() const
{
    return impl_->fileName;
}

void RecordTable::clearFieldDefs()
{
    impl_->fieldDefs.clear();
}

void RecordTable::addFieldDef(std::string name, FieldKind kind, int size, bool required)
{
    impl_->fieldDefs.push_back(FieldDef{std::move(name), kind, kind == FieldKind::Integer ? 0 : size, required});
}

void RecordTable::clearIndexDefs()
{
    impl_->indexDefs.clear();
}

void RecordTable::addIndexDef(std::string name, std::string fields, IndexOptions options)
{
    impl_->indexDefs.push_back(Impl::IndexDef{std::move(name), std::move(fields), options});
}

void RecordTable::createEmpty()
{
    Impl& t = *impl_;
    if (t.state != TableState::Closed)
        t.fail("Cannot perform this operation on an open dataset");
    if (t.fieldDefs.empty())
        failPlain("No fields defined.  Cannot create dataset");
    for (std::size_t i = 0; i < t.fieldDefs.size(); ++i) {
        const FieldDef& def = t.fieldDefs[i];
        if (codePointCount(def.name) > maxFieldNameChars)
            failPlain("Fieldname " + def.name + " exceeds " + std::to_string(maxFieldNameChars) + " chars");
        if (def.name.empty())
            failPlain("Field " + std::to_string(i + 1) + " has no name");
        if (def.kind == FieldKind::Text && def.size < 1)
            failPlain("Field '" + def.name + "' has an invalid size");
        for (std::size_t j = 0; j < i; ++j) {
            if (equalIgnoringAsciiCase(t.fieldDefs[j].name, def.name))
                failPlain("Duplicate field name '" + def.name + "'");
        }
    }

    // The indexes are checked against the fields; a failure there takes the fields
    // away again, so the table stays closed with nothing built.
    t.fields = t.fieldDefs;
    std::vector<UniqueIndex> uniques;
    try {
        for (const Impl::IndexDef& def : t.indexDefs) {
            std::vector<std::string> names = splitFieldList(def.fields);
            if (names.size() > maxIndexFields)
                names.resize(maxIndexFields);
            if (names.empty())
                failPlain("Index '" + def.name + "' has no fields");
            std::vector<int> columns;
            for (const std::string& name : names)
                columns.push_back(t.requireField(name));
            if (def.options.unique) {
                UniqueIndex index{cutToSize(def.name, maxIndexNameLength),
                                  std::set<const PackedRecord*, UniqueIndex::Less>(UniqueIndex::Less{
                                      t.reader, std::move(columns), def.options.caseInsensitive})};
                uniques.push_back(std::move(index));
            }
        }
    } catch (...) {
        t.fields.clear();
        throw;
    }

    t.uniqueIndexes = std::move(uniques);
    t.startBrowsing();
}

void RecordTable::open()
{
    Impl& t = *impl_;
    if (t.state != TableState::Closed)
        return;

    std::optional<StoreBytes> content;
    if (!t.fileName.empty())
        content = readStoreBytes(t.fileName);
    if (!content || content->size() == 0)
        t.fail("Missing data provider or data packet");

    // The records are packed straight from the file's bytes as they are read.
    class Loader : public RecordSink {
    public:
        explicit Loader(std::size_t contentBytes) : contentBytes_(contentBytes) {}
        std::vector<FieldDef> fields;
        StorageTree::Builder storage;  // the records in storage order
        RecordPool pool;
        std::jthread bringIn;  // after pool: joins before the pool's blocks go

        void begin(const std::vector<FieldDef>& decodedFields, std::size_t recordCount) override
        {
            fields = decodedFields;
            // A record's packed values never take more bytes than its binary form,
            // nor than its XML form.
            pool.reserve(recordCount, contentBytes_);
            // The records take about as many bytes as the binary form: that much of
            // the block is brought in on a second thread while the records are
            // packed. (The XML form is longer than what it holds: part of what is
            // brought in for it stays unused until the table closes.)
            bringIn = pool.bringInInBackground(contentBytes_);
        }
        void record(const ValueView* values) override
        {
            // The table never holds text longer than its field, and never wrote any:
            // such a file was damaged or changed by hand (the XML form has no
            // checksum), and is refused rather than shown or written back cut.
            for (std::size_t f = 0; f < fields.size(); ++f) {
                const ValueView& v = values[f];
                if (v.kind == ValueView::Kind::Text && fields[f].kind == FieldKind::Text
                    && v.text.size() > static_cast<std::size_t>(fields[f].size)
                    && codePointCount(v.text) > static_cast<std::size_t>(fields[f].size))
                    failPlain("The store file is damaged: text longer than its field " + fields[f].name);
            }
            storage.append(StorageEntry{pool.pack(values, fields)});
        }

    private:
        std::size_t contentBytes_;
    };
    Loader loader(content->size());
    decodeStoreInto(content->view(), loader);
    if (loader.fields.empty())
        failPlain("The store holds no fields");

    loader.bringIn = {};  // waits for the thread, if any, to end
    ++t.version;
    loader.storage.finishInto(t.storage);
    t.pool = std::move(loader.pool);
    t.fields = std::move(loader.fields);
    t.startBrowsing();
}

void RecordTable::close()
{
    Impl& t = *impl_;
    if (t.state == TableState::Closed)
        return;

    // An edit that was not posted is dropped and never written.
    const bool wasEditing = t.editing();
    if (wasEditing)
        t.dropEdit();

    if (!t.fileName.empty() && t.changed) {
        try {
            // Written straight from the packed records, in storage order.
            std::vector<const PackedRecord*> records;
            records.reserve(t.count());
            std::size_t bytes = 0;
            t.storage.forEach([&](const StorageEntry& e) {
                records.push_back(e.rec);
                bytes += e.rec->bytes;
            });
            const auto source = [&](std::size_t r, ValueView* values) { t.reader.values(records[r], values); };
            writeStoreFileAtomically(t.fileName, encodeStoreFrom(storeFormForFileName(t.fileName), t.fields,
                                                                 records.size(), source, bytes + records.size() * t.fields.size() * 4));
        } catch (...) {
            // Nothing is lost: the table stays open with its records and its changed
            // flag, so a later close can still write them.
            if (wasEditing)
                t.notifyState();
            throw;
        }
    }

    t.releaseRecords();
    t.fields.clear();
    t.keyColumns.clear();
    t.orderingInForce.clear();
    t.changed = false;
    t.state = TableState::Closed;
    t.notify([](TableObserver& o) { o.tableClosed(); });
    t.notifyState();
}

bool RecordTable::isOpen() const
{
    return impl_->state != TableState::Closed;
}

TableState RecordTable::state() const
{
    return impl_->state;
}

void RecordTable::setOrdering(std::string fields)
{
    Impl& t = *impl_;
    t.ordering = fields;
    if (t.state == TableState::Closed)
        return;
    t.settle();
    if (fields == t.orderingInForce)
        return;
    t.applyOrdering(fields);
    t.notify([](TableObserver& o) { o.orderChanged(); });
    t.notifyCurrent();
}

const std::string& RecordTable::ordering() const
{
    return impl_->ordering;
}

bool RecordTable::lookupKey(const std::vector<FieldValue>& values)
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    if (!t.byFields())
        t.fail("No index currently active");
    if (values.size() > t.keyColumns.size())
        t.fail("Field index out of range");

    // The key values as the ordering's fields hold them, viewed where they are.
    const std::size_t keyCount = values.size();
    SmallBuffer<ValueView, 8> keyViews(keyCount);
    SmallBuffer<std::string, 8> scratch(keyCount);
    PrefixBuilder builder;
    for (std::size_t i = 0; i < keyCount; ++i) {
        const FieldDef& field = t.fields[static_cast<std::size_t>(t.keyColumns[i])];
        keyViews[i] = viewForField(values[i], field, scratch[i]);
        builder.add(keyViews[i], field.kind);
    }
    const KeyPrefix prefix = builder.prefix();
    const auto compareKey = [&](const PackedRecord* r) {
        for (std::size_t i = 0; i < keyCount; ++i) {
            if (const int c = compareValues(t.reader.value(r, static_cast<std::size_t>(t.keyColumns[i])), keyViews[i]))
                return c;
        }
        return 0;
    };
    // Where the prefixes differ they decide; a record whose prefix equals the key's
    // is compared value by value. A key whose whole encoding fits in the prefix is
    // compared with the first bytes of each record's prefix alone: those are equal
    // exactly when the record's values equal the key's.
    KeyPrefix mask;
    if (builder.complete()) {
        for (std::size_t w = 0, left = builder.length(); w < 3; ++w, left = left > 8 ? left - 8 : 0)
            mask.word[w] = left >= 8 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (8 * left));
    }
    const auto masked = [&mask](const KeyPrefix& k) {
        KeyPrefix m;
        for (std::size_t w = 0; w < 3; ++w)
            m.word[w] = k.word[w] & mask.word[w];
        return m;
    };
    std::size_t row = 0;
    const OrderEntry* entry = nullptr;
    if (builder.complete()) {
        entry = t.order.firstNotBefore([&](const OrderEntry& e) { return compare(masked(e.key), prefix) < 0; }, &row);
        if (entry == nullptr || !(masked(entry->key) == prefix))
            return false;
    } else {
        entry = t.order.firstNotBefore([&](const OrderEntry& e) {
            if (const int c = compare(e.key, prefix))
                return c < 0;
            return compareKey(e.rec) < 0;
        }, &row);
    }
    if (entry == nullptr)
        return false;
    // Equal whole keys have equal prefixes, so a different prefix is a miss without a
    // look at the record; a part of a key must be compared value by value.
    const bool wholeKey = keyCount == t.keyColumns.size();
    if (wholeKey && !(entry->key == prefix))
        return false;
    PackedRecord* found = entry->rec;
    if (!builder.complete() && compareKey(found) != 0)
        return false;
    // A hit is announced even when the match was already current, so a view can bring
    // it into sight.
    t.current = found;
    t.remember(found, row);
    t.notifyCurrent();
    return true;
}

void RecordTable::insertValues(const std::vector<FieldValue>& values)
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    if (values.size() > t.fields.size())
        failPlain("Too many values: the table has " + std::to_string(t.fields.size()) + " fields");

    SmallBuffer<ValueView, 8> views(t.fields.size());
    SmallBuffer<std::string, 8> scratch(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        views[i] = viewForField(values[i], t.fields[i], scratch[i]);
    t.addRecord(t.pool.pack(views.data(), t.fields));
    if (!t.observers.empty()) {
        const int row = t.currentRow();
        t.notify([row](TableObserver& o) { o.rowInserted(row); });
    }
    t.notifyCurrent();
}

std::string RecordTable::fieldText(std::string_view name) const
{
    const Impl& t = *impl_;
    return displayText(t.readValue(static_cast<std::size_t>(t.requireField(name))));
}

std::int32_t RecordTable::fieldInteger(std::string_view name) const
{
    const Impl& t = *impl_;
    const ValueView value = t.readValue(static_cast<std::size_t>(t.requireField(name)));
    if (value.kind == ValueView::Kind::Integer)
        return value.number;
    if (value.kind == ValueView::Kind::Null)
        return 0;
    return toInteger(value.text);
}

void RecordTable::beginEdit()
{
    Impl& t = *impl_;
    t.requireOpen();
    if (t.editing())
        return;
    if (t.current) {
        t.edit = t.reader.unpack(t.current);
        t.state = TableState::Editing;
    } else {
        t.edit.assign(t.fields.size(), std::nullopt);
        t.state = TableState::Inserting;
    }
    t.editTouched = false;
    t.notifyState();
}

void RecordTable::setFieldText(std::string_view name, std::string text)
{
    Impl& t = *impl_;
    const auto column = static_cast<std::size_t>(t.requireField(name));
    if (!t.editing())
        t.fail("Dataset not in edit or insert mode");
    const FieldDef& field = t.fields[column];
    if (field.kind == FieldKind::Text)
        t.edit[column] = cutToSize(std::move(text), field.size);
    else if (text.empty())
        t.edit[column] = std::nullopt;
    else
        t.edit[column] = toInteger(text);
    t.editTouched = true;
}

void RecordTable::postEdit()
{
    impl_->post();
}

void RecordTable::deleteCurrent()
{
    Impl& t = *impl_;
    t.requireOpen();
    if (t.count() == 0)
        t.fail("Cannot perform this operation on an empty dataset");

    const bool wasEditing = t.editing();
    if (wasEditing)
        t.dropEdit();
    PackedRecord* gone = t.current;
    const int row = t.rowOf(gone);
    PackedRecord* following = t.nextRow(gone);
    t.current = following ? following : t.prevRow(gone);
    ++t.version;
    if (t.byFields())
        t.order.erase(gone);
    t.storage.erase(gone);
    for (UniqueIndex& index : t.uniqueIndexes)
        index.keys.erase(gone);
    t.changed = true;

    t.notify([row](TableObserver& o) { o.rowRemoved(row); });
    t.notifyCurrent();
    if (wasEditing)
        t.notifyState();
}

int RecordTable::recordCount() const
{
    impl_->requireOpen();
    return static_cast<int>(impl_->count());
}

void RecordTable::moveFirst()
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    PackedRecord* first = t.firstRow();
    if (first)
        t.remember(first, 0);
    t.moveTo(first);
}

void RecordTable::moveLast()
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    PackedRecord* last = t.lastRow();
    if (last)
        t.remember(last, t.count() - 1);
    t.moveTo(last);
}

int RecordTable::moveBy(int n)
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    if (t.current == nullptr)
        return 0;
    const long long from = t.rowOf(t.current);
    const long long last = static_cast<long long>(t.count()) - 1;
    const long long to = std::clamp(from + n, 0LL, last);
    PackedRecord* target = t.recordAt(static_cast<std::size_t>(to));
    t.remember(target, static_cast<std::size_t>(to));
    t.moveTo(target);
    return static_cast<int>(to - from);
}

const std::vector<FieldDef>& RecordTable::fields() const
{
    return impl_->fields;
}

int RecordTable::fieldIndex(std::string_view name) const
{
    return impl_->findField(name);
}

int RecordTable::currentRow() const
{
    return impl_->currentRow();
}

std::string RecordTable::rowText(int row, int column) const
{
    const Impl& t = *impl_;
    PackedRecord* r = t.recordAt(static_cast<std::size_t>(row));
    const auto c = static_cast<std::size_t>(column);
    if (r == t.current && t.state == TableState::Editing)
        return displayText(t.edit[c]);
    return displayText(t.reader.value(r, c));
}

void RecordTable::attach(TableObserver* observer)
{
    if (observer && std::find(impl_->observers.begin(), impl_->observers.end(), observer) == impl_->observers.end())
        impl_->observers.push_back(observer);
}

void RecordTable::detach(TableObserver* observer)
{
    auto& list = impl_->observers;
    list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}
