// The record table's calls. What stands behind them (the state, the edit in
// progress, the notices to the views) is RecordTable::Impl, in RecordTableImpl.h;
// the records and their orders are a RecordSet; the file is read and written whole.

#include "RecordTable.h"

#include "RecordMerge.h"
#include "RecordSet.h"
#include "RecordTableImpl.h"
#include "SmallBuffer.h"
#include "StoreFile.h"
#include "StoreFormat.h"
#include "TextRules.h"
#include "format/ValueRules.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <variant>

namespace {

constexpr int maxIndexNameLength = 31;
constexpr std::size_t maxIndexFields = 16;

// Every text a table holds must be one the store forms can write, or the whole list
// could not be saved at close: text that is not valid UTF-8 is refused when entered.
void requireWritableText(std::string_view text, const FieldDef& field)
{
    if (!isValidUtf8(text))
        failPlain("Field '" + field.name + "' cannot hold text that is not valid UTF-8");
}

}  // namespace

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
    if (t.fieldDefs.size() > maxFieldCount)
        failPlain("More than " + std::to_string(maxFieldCount) + " fields.  Cannot create dataset");
    for (std::size_t i = 0; i < t.fieldDefs.size(); ++i) {
        const FieldDef& def = t.fieldDefs[i];
        if (codePointCount(def.name) > maxFieldNameChars)
            failPlain("Fieldname " + def.name + " exceeds " + std::to_string(maxFieldNameChars) + " chars");
        if (def.name.empty())
            failPlain("Field " + std::to_string(i + 1) + " has no name");
        if (!isValidFieldName(def.name))
            failPlain("Field " + std::to_string(i + 1) + " has a name that is not valid text");
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
                                      t.records.reader(), std::move(columns), def.options.caseInsensitive})};
                uniques.push_back(std::move(index));
            }
        }
    } catch (...) {
        t.fields.clear();
        throw;
    }

    t.records.setUniqueIndexes(std::move(uniques));
    t.fileRead = startingEmpty(t.fileName);
    t.startBrowsing();
}

void RecordTable::open()
{
    Impl& t = *impl_;
    if (t.state != TableState::Closed)
        return;

    // The file's start is looked at before it is read whole, so that a file that is
    // no store, or whose size is not the one its header gives, takes no memory; a
    // store too large for the memory there is fails as a table error. The file is
    // stamped before it is read, for the merge at close.
    try {
        std::optional<StoreBytes> content;
        FileRead fileRead;
        if (!t.fileName.empty()) {
            fileRead = stampBeforeReading(t.fileName);
            content = readStoreBytes(t.fileName, checkStoreStart);
        }
        if (!content || content->size() == 0)
            t.fail("Missing data provider or data packet");
        t.fields = t.records.load(content->view(), t.ordering);
        t.fileRead = std::move(fileRead);
    } catch (const std::bad_alloc&) {
        failTooLargeToOpen(t.fileName);
    }
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

    t.closeMerged = false;
    if (!t.fileName.empty() && t.changed) {
        try {
            t.closeMerged = writeForClose(t.records, t.fields, t.fileRead, t.fileName);
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
    t.records.clearOrder();
    t.changed = false;
    t.state = TableState::Closed;
    t.notify([](TableObserver& o) { o.tableClosed(); });
    t.notifyState();
}

bool RecordTable::lastCloseMerged() const
{
    return impl_->closeMerged;
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
    if (fields == t.records.orderingInForce())
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
    const std::vector<int>& keyColumns = t.records.keyColumns();
    if (keyColumns.empty())
        t.fail("No index currently active");
    if (values.size() > keyColumns.size())
        t.fail("Field index out of range");

    // The key values as the ordering's fields hold them, viewed where they are.
    const std::size_t keyCount = values.size();
    SmallBuffer<ValueView, 8> keyViews(keyCount);
    SmallBuffer<std::string, 8> scratch(keyCount);
    for (std::size_t i = 0; i < keyCount; ++i)
        keyViews[i] = viewForField(values[i], t.fields[static_cast<std::size_t>(keyColumns[i])], scratch[i]);
    std::size_t row = 0;
    PackedRecord* found = t.records.find(keyViews.data(), keyCount, row);
    if (found == nullptr)
        return false;
    // A hit is announced even when the match was already current, so a view can bring
    // it into sight.
    t.current = found;
    t.records.remember(found, row);
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
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (const auto* text = std::get_if<std::string>(&values[i]); text && t.fields[i].kind == FieldKind::Text)
            requireWritableText(*text, t.fields[i]);
        views[i] = viewForField(values[i], t.fields[i], scratch[i]);
    }
    t.addRecord(t.records.pack(views.data()));
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
        t.edit = t.records.reader().unpack(t.current);
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
    if (field.kind == FieldKind::Text) {
        requireWritableText(text, field);
        t.edit[column] = cutToSize(std::move(text), field.size);
    } else if (text.empty()) {
        t.edit[column] = std::nullopt;
    } else {
        t.edit[column] = toInteger(text);
    }
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
    if (t.records.count() == 0)
        t.fail("Cannot perform this operation on an empty dataset");

    const bool wasEditing = t.editing();
    if (wasEditing)
        t.dropEdit();
    PackedRecord* gone = t.current;
    const int row = t.records.rowOf(gone);
    PackedRecord* following = t.records.nextRow(gone);
    t.current = following ? following : t.records.prevRow(gone);
    t.records.erase(gone);
    t.changed = true;

    t.notify([row](TableObserver& o) { o.rowRemoved(row); });
    t.notifyCurrent();
    if (wasEditing)
        t.notifyState();
}

int RecordTable::recordCount() const
{
    impl_->requireOpen();
    return static_cast<int>(impl_->records.count());
}

void RecordTable::moveFirst()
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    PackedRecord* first = t.records.firstRow();
    if (first)
        t.records.remember(first, 0);
    t.moveTo(first);
}

void RecordTable::moveLast()
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    PackedRecord* last = t.records.lastRow();
    if (last)
        t.records.remember(last, t.records.count() - 1);
    t.moveTo(last);
}

int RecordTable::moveBy(int n)
{
    Impl& t = *impl_;
    t.requireOpen();
    t.settle();
    if (t.current == nullptr)
        return 0;
    const long long from = t.records.rowOf(t.current);
    const long long last = static_cast<long long>(t.records.count()) - 1;
    const long long to = std::clamp(from + n, 0LL, last);
    PackedRecord* target = t.records.recordAt(static_cast<std::size_t>(to));
    t.records.remember(target, static_cast<std::size_t>(to));
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
    PackedRecord* r = t.records.recordAt(static_cast<std::size_t>(row));
    const auto c = static_cast<std::size_t>(column);
    if (r == t.current && t.state == TableState::Editing)
        return displayText(t.edit[c]);
    return displayText(t.records.reader().value(r, c));
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
