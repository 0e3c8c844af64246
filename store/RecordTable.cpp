#include "RecordTable.h"

#include "CountedTree.h"
#include "StoreFile.h"
#include "StoreFormat.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <exception>
#include <mutex>
#include <random>
#include <set>
#include <utility>

namespace {

constexpr int maxIndexNameLength = 31;
constexpr std::size_t maxIndexFields = 16;

// ---------------------------------------------------------------------------------
// The engine's one-time, process-wide preparation. The engine is built in, so all it
// needs is the seed from which every table draws the random priorities of its trees.

std::uint64_t prepareEngine()
{
    static std::once_flag once;
    static std::uint64_t seed = 0;
    std::call_once(once, [] {
        try {
            std::random_device device;
            seed = (std::uint64_t{device()} << 32) ^ device();
        } catch (const std::exception&) {
            seed = 0x9E3779B97F4A7C15ull;
        }
    });
    return seed;
}

// ---------------------------------------------------------------------------------
// Records and their two orders.

// Aligned to a cache line, with what a descent of the ordering reads (its links, the
// sort key, the priority) in the first line, so each level of a tree costs one line.
struct alignas(64) Node {
    TreeLinks<Node> order;      // the field ordering in force, when there is one
    std::uint64_t sortKey = 0;  // leading part of the first ordering field, see leadingKey
    std::uint32_t priority = 0;
    std::uint64_t seq = 0;      // rises with storage order while a field ordering is in force
    TreeLinks<Node> storage;    // storage order
    Record values;
};

using StorageTree = CountedTree<Node, &Node::storage>;
using OrderTree = CountedTree<Node, &Node::order>;

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

// Keeps the first `size` characters, never splitting one.
std::string cutToSize(std::string s, int size)
{
    const std::size_t limit = size > 0 ? static_cast<std::size_t>(size) : 0;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!isContinuationByte(s[i])) {
            if (seen == limit) {
                s.resize(i);
                break;
            }
            ++seen;
        }
    }
    return s;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool namesMatch(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
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

// A value of either kind made into a value of the field's kind, cut to its size.
FieldValue convertForField(const FieldValue& value, const FieldDef& field)
{
    if (field.kind == FieldKind::Text) {
        if (const auto* text = std::get_if<std::string>(&value))
            return cutToSize(*text, field.size);
        return cutToSize(std::to_string(std::get<std::int32_t>(value)), field.size);
    }
    if (const auto* number = std::get_if<std::int32_t>(&value))
        return *number;
    return toInteger(std::get<std::string>(value));
}

std::string displayText(const StoredValue& value)
{
    if (!value)
        return {};
    if (const auto* text = std::get_if<std::string>(&*value))
        return *text;
    return std::to_string(std::get<std::int32_t>(*value));
}

// Null first, then by kind, then text byte by byte (letter case distinguished) or
// integers by value.
int compareValues(const StoredValue& a, const StoredValue& b, bool caseInsensitive = false)
{
    if (!a || !b)
        return int(bool(a)) - int(bool(b));
    if (a->index() != b->index())
        return a->index() < b->index() ? -1 : 1;
    if (const auto* x = std::get_if<std::int32_t>(&*a)) {
        const std::int32_t y = std::get<std::int32_t>(*b);
        return *x < y ? -1 : (*x > y ? 1 : 0);
    }
    const std::string& x = std::get<std::string>(*a);
    const std::string& y = std::get<std::string>(*b);
    if (!caseInsensitive) {
        const int c = x.compare(y);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto cx = static_cast<unsigned char>(asciiLower(x[i]));
        const auto cy = static_cast<unsigned char>(asciiLower(y[i]));
        if (cx != cy)
            return cx < cy ? -1 : 1;
    }
    return x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
}

// A number whose order agrees with compareValues wherever the numbers differ: null
// lowest, then a text's first seven bytes (zero-padded) or an integer. Comparing it
// first spares most comparisons a visit to the record's values, which at a million
// records is a cache miss at every level of a tree.
std::uint64_t leadingKey(const StoredValue& value)
{
    if (!value)
        return 0;
    std::uint64_t key = std::uint64_t{1} << 56;
    if (const auto* number = std::get_if<std::int32_t>(&*value))
        return key | (std::uint64_t{static_cast<std::uint32_t>(*number) ^ 0x80000000u} << 24);
    const std::string& text = std::get<std::string>(*value);
    for (std::size_t i = 0; i < 7; ++i) {
        const std::uint64_t byte = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
        key |= byte << (8 * (6 - i));
    }
    return key;
}

int compareOn(const std::vector<int>& columns, const Record& a, const Record& b, bool caseInsensitive = false)
{
    for (const int column : columns) {
        const auto i = static_cast<std::size_t>(column);
        if (const int c = compareValues(a[i], b[i], caseInsensitive))
            return c;
    }
    return 0;
}

// A unique index: refuses a record whose values in its fields equal another's.
struct UniqueIndex {
    struct Less {
        std::vector<int> columns;
        bool caseInsensitive = false;
        bool operator()(const Record* a, const Record* b) const
        {
            return compareOn(columns, *a, *b, caseInsensitive) < 0;
        }
    };
    std::string name;
    std::set<const Record*, Less> keys;
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
    StorageTree storage;
    OrderTree order;               // filled only while a field ordering is in force
    std::string orderingInForce;   // the text of the ordering the records are in
    std::vector<int> keyColumns;   // its fields; empty for storage order
    std::uint64_t nextSeq = 0;
    Node* current = nullptr;
    bool changed = false;
    Record edit;                   // the values being edited (editing or inserting)
    bool editTouched = false;      // a field was set since beginEdit
    std::vector<UniqueIndex> uniqueIndexes;
    std::mt19937 rng;

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
            if (namesMatch(fields[i].name, name))
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
    // record's; nullptr when there is no current record.
    const StoredValue* readValue(std::size_t column) const
    {
        if (editing())
            return &edit[column];
        return current ? &current->values[column] : nullptr;
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
        notify([r = currentRow()](TableObserver& o) { o.currentMoved(r); });
    }

    // --- rows

    bool byFields() const { return !keyColumns.empty(); }
    std::size_t count() const { return storage.size(); }
    int rowOf(const Node* n) const
    {
        return static_cast<int>(byFields() ? OrderTree::rank(n) : StorageTree::rank(n));
    }
    Node* nodeAt(std::size_t row) const { return byFields() ? order.at(row) : storage.at(row); }
    Node* firstRow() const { return byFields() ? order.first() : storage.first(); }
    Node* lastRow() const { return byFields() ? order.last() : storage.last(); }
    Node* nextRow(Node* n) const { return byFields() ? OrderTree::next(n) : StorageTree::next(n); }
    Node* prevRow(Node* n) const { return byFields() ? OrderTree::prev(n) : StorageTree::prev(n); }
    int currentRow() const { return current ? rowOf(current) : -1; }

    void setSortKey(Node* n) const { n->sortKey = leadingKey(n->values[static_cast<std::size_t>(keyColumns[0])]); }

    bool goesBefore(const Node* a, const Node* b) const
    {
        if (a->sortKey != b->sortKey)
            return a->sortKey < b->sortKey;
        const int c = compareOn(keyColumns, a->values, b->values);
        return c < 0 || (c == 0 && a->seq < b->seq);
    }

    // Puts a record whose key has changed (or a new one) at its sorted place.
    void insertInOrder(Node* n)
    {
        setSortKey(n);
        order.insertSorted(n, [this](const Node* a, const Node* b) { return goesBefore(a, b); });
    }

    Node* newNode(Record values)
    {
        auto* n = new Node;
        n->values = std::move(values);
        n->priority = static_cast<std::uint32_t>(rng());
        return n;
    }

    // Places a new record as an insert does: at its sorted place (and last in storage
    // order) under a field ordering, else just before the current record.
    void place(Node* n)
    {
        if (byFields()) {
            storage.insertBefore(nullptr, n);
            n->seq = nextSeq++;
            insertInOrder(n);
        } else {
            storage.insertBefore(current, n);
        }
        for (UniqueIndex& index : uniqueIndexes)
            index.keys.insert(&n->values);
    }

    // Adds a new record made of values, as an insert does, and makes it current.
    // values is taken only once the unique indexes accept it, so a refused record
    // is left with the caller.
    void addRecord(Record& values)
    {
        checkUnique(values, nullptr);
        Node* n = newNode(std::move(values));
        place(n);
        current = n;
        changed = true;
    }

    // Puts the records in the order of the given key columns (storage order when
    // empty); equal keys keep their storage order.
    void applyOrder(std::vector<int> columns, std::string text)
    {
        keyColumns = std::move(columns);
        orderingInForce = std::move(text);
        order.clear();
        if (!byFields())
            return;
        std::vector<Node*> nodes = storage.nodes();
        nextSeq = 0;
        for (Node* n : nodes) {
            n->seq = nextSeq++;
            setSortKey(n);
        }
        // Sorting the keys beside the pointers keeps most comparisons within the array.
        std::vector<std::pair<std::uint64_t, Node*>> keyed;
        keyed.reserve(nodes.size());
        for (Node* n : nodes)
            keyed.emplace_back(n->sortKey, n);
        std::sort(keyed.begin(), keyed.end(), [this](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : goesBefore(a.second, b.second);
        });
        for (std::size_t i = 0; i < keyed.size(); ++i)
            nodes[i] = keyed[i].second;
        order.assign(nodes);
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

    // Throws the engine's refusal when values would repeat a key of a unique index
    // held by a record other than `self`.
    void checkUnique(const Record& values, const Record* self) const
    {
        for (const UniqueIndex& index : uniqueIndexes) {
            const auto found = index.keys.find(&values);
            if (found != index.keys.end() && *found != self)
                failPlain("Key violation in index '" + index.name + "'");
        }
    }

    void seedRandom(std::uint64_t seed)
    {
        rng.seed(static_cast<std::mt19937::result_type>(seed ^ reinterpret_cast<std::uintptr_t>(this)));
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
        for (Node* n : storage.nodes())
            delete n;
        storage.clear();
        order.clear();
        current = nullptr;
        uniqueIndexes.clear();
    }

    // --- edits

    void dropEdit()
    {
        edit.clear();
        editTouched = false;
        state = TableState::Browsing;
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
            addRecord(edit);
            dropEdit();
            const int row = currentRow();
            notify([row](TableObserver& o) { o.rowInserted(row); });
        } else {
            checkUnique(edit, &current->values);
            const int from = currentRow();
            for (UniqueIndex& index : uniqueIndexes)
                index.keys.erase(&current->values);
            current->values = std::move(edit);
            for (UniqueIndex& index : uniqueIndexes)
                index.keys.insert(&current->values);
            if (byFields()) {
                order.erase(current);
                insertInOrder(current);
            }
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

    void moveTo(Node* n)
    {
        if (n == current)
            return;
        current = n;
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
            if (namesMatch(t.fieldDefs[j].name, def.name))
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
                                  std::set<const Record*, UniqueIndex::Less>(
                                      UniqueIndex::Less{std::move(columns), def.options.caseInsensitive})};
                uniques.push_back(std::move(index));
            }
        }
    } catch (...) {
        t.fields.clear();
        throw;
    }

    t.seedRandom(prepareEngine());
    t.uniqueIndexes = std::move(uniques);
    t.startBrowsing();
}

void RecordTable::open()
{
    Impl& t = *impl_;
    if (t.state != TableState::Closed)
        return;

    std::optional<std::string> content;
    if (!t.fileName.empty())
        content = readStoreFile(t.fileName);
    if (!content || content->empty())
        t.fail("Missing data provider or data packet");

    const std::uint64_t seed = prepareEngine();
    DecodedStore decoded = decodeStore(*content);
    if (decoded.fields.empty())
        failPlain("The store holds no fields");

    t.seedRandom(seed);
    std::vector<Node*> nodes;
    nodes.reserve(decoded.records.size());
    try {
        for (Record& record : decoded.records)
            nodes.push_back(t.newNode(std::move(record)));
    } catch (...) {
        for (Node* n : nodes)
            delete n;
        throw;
    }
    t.storage.assign(nodes);
    t.fields = std::move(decoded.fields);
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
            std::vector<const Record*> records;
            records.reserve(t.count());
            for (const Node* n : t.storage.nodes())
                records.push_back(&n->values);
            writeStoreFileAtomically(t.fileName, encodeStore(storeFormForFileName(t.fileName), t.fields, records));
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

    Record key;
    key.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        key.emplace_back(convertForField(values[i], t.fields[static_cast<std::size_t>(t.keyColumns[i])]));

    const std::uint64_t leading = key.empty() ? 0 : leadingKey(key[0]);
    const auto comparePrefix = [&](const Node* n) {
        if (!key.empty() && n->sortKey != leading)
            return n->sortKey < leading ? -1 : 1;
        for (std::size_t i = 0; i < key.size(); ++i) {
            if (const int c = compareValues(n->values[static_cast<std::size_t>(t.keyColumns[i])], key[i]))
                return c;
        }
        return 0;
    };
    Node* found = t.order.firstNotBefore([&](const Node* n) { return comparePrefix(n) < 0; });
    if (found == nullptr || comparePrefix(found) != 0)
        return false;
    // A hit is announced even when the match was already current, so a view can bring
    // it into sight.
    t.current = found;
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

    Record record(t.fields.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        record[i] = convertForField(values[i], t.fields[i]);
    t.addRecord(record);
    const int row = t.currentRow();
    t.notify([row](TableObserver& o) { o.rowInserted(row); });
    t.notifyCurrent();
}

std::string RecordTable::fieldText(std::string_view name) const
{
    const Impl& t = *impl_;
    const StoredValue* value = t.readValue(static_cast<std::size_t>(t.requireField(name)));
    return value ? displayText(*value) : std::string();
}

std::int32_t RecordTable::fieldInteger(std::string_view name) const
{
    const Impl& t = *impl_;
    const StoredValue* value = t.readValue(static_cast<std::size_t>(t.requireField(name)));
    if (value == nullptr || !*value)
        return 0;
    if (const auto* number = std::get_if<std::int32_t>(&**value))
        return *number;
    return toInteger(std::get<std::string>(**value));
}

void RecordTable::beginEdit()
{
    Impl& t = *impl_;
    t.requireOpen();
    if (t.editing())
        return;
    if (t.current) {
        t.edit = t.current->values;
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
    Node* gone = t.current;
    const int row = t.rowOf(gone);
    Node* following = t.nextRow(gone);
    t.current = following ? following : t.prevRow(gone);
    if (t.byFields())
        t.order.erase(gone);
    t.storage.erase(gone);
    for (UniqueIndex& index : t.uniqueIndexes)
        index.keys.erase(&gone->values);
    delete gone;
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
    t.moveTo(t.firstRow());
}

void RecordTable::moveLast()
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    t.moveTo(t.lastRow());
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
    t.moveTo(t.nodeAt(static_cast<std::size_t>(to)));
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
    const Node* n = t.nodeAt(static_cast<std::size_t>(row));
    const auto c = static_cast<std::size_t>(column);
    if (n == t.current && t.state == TableState::Editing)
        return displayText(t.edit[c]);
    return displayText(n->values[c]);
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
