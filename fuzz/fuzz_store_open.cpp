// Fuzz entry point for a whole store file as the program meets it: the input is
// written to a file, once named "x.db" and once "x.xml" (and, when it starts with the
// binary magic, once more each with its length and checksum repaired), and a
// RecordTable opens it.
//
// A file the table refuses must be refused with a RecordTableError and be left byte
// for byte as it was. A file the table opens is opened once more with an ordering
// already in force, as the list switch opens a list, which must show exactly the
// rows that ordering the first table shows (a binary store may carry its own order
// for that ordering; it must be taken only when it is the sorted one). The table is
// then put through orderings, look-ups, moves, reads of every row, an edit, a delete
// and an insert, and is closed in an ordering, which writes it in the form its name
// asks for, with that order; a new table must read back the same fields and the same
// records in storage order, and in the ordering the same rows again.
//
// Every other exception, and every result that contradicts the table's contract,
// ends the run with abort(), which libFuzzer reports with the input that caused it.

#include "RecordTable.h"
#include "fuzz_repair.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Work on one opened table is bounded so that a large input cannot slow the run down.
constexpr int maxCheckedRows = 256;
constexpr std::size_t maxOrderedFields = 6;
constexpr std::size_t maxReadColumns = 32;

[[noreturn]] void fault(const std::string& what)
{
    std::fprintf(stderr, "fuzz_store_open: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void expect(bool condition, const char* what)
{
    if (!condition)
        fault(what);
}

// Runs step; a RecordTableError is an allowed refusal (returns false), any other
// exception escapes to the caller, which treats it as a fault.
template <class Step>
bool mayRefuse(Step&& step)
{
    try {
        step();
        return true;
    } catch (const RecordTableError&) {
        return false;
    }
}

template <class Step>
void mustRefuse(Step&& step, const char* what)
{
    if (mayRefuse(step))
        fault(what);
}

// --- files --------------------------------------------------------------------------

// The process's own folder, in memory when /dev/shm is there; removed at exit. Its
// name holds the process id, so that run_fuzz.sh can remove it after a crash too.
const fs::path& workFolder()
{
    static const fs::path folder = [] {
        std::string pattern = (fs::is_directory("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string())
                              + "/quorrel-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            fault("cannot create a temporary folder");
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(workFolder(), ignored);
        });
        return fs::path(pattern);
    }();
    return folder;
}

void writeWhole(const std::string& path, std::string_view bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        fault("cannot write " + path);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            fault("cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::optional<std::string> readWhole(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0)
            fault("cannot read " + path);
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

// --- values ---------------------------------------------------------------------------

std::size_t codePoints(std::string_view s)
{
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool fits(std::string_view text, const FieldDef& field)
{
    return codePoints(text) <= static_cast<std::size_t>(std::max(field.size, 0));
}

std::optional<std::int32_t> asInteger(std::string_view text)
{
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Compares two shown values of a field the way the table orders them. Null and the
// empty text both show as empty; they are told apart by the caller where it matters.
int compareShown(const FieldDef& field, const std::string& a, const std::string& b)
{
    if (field.kind == FieldKind::Text) {
        const int c = a.compare(b);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    if (a.empty() || b.empty())
        return int(!a.empty()) - int(!b.empty());
    const auto x = asInteger(a), y = asInteger(b);
    if (!x || !y)
        fault("an integer field shows a value that is not an integer");
    return *x < *y ? -1 : (*x > *y ? 1 : 0);
}

// Input bytes made into text that fits size characters: valid UTF-8 with XML's
// special characters, a line break and a two-byte character among them.
std::string textFrom(std::string_view seed, int size)
{
    static constexpr std::string_view alphabet[] = {"a", "Z", "0", " ", "<", "&", "\"", "'", "\n", "\xC3\xA9", ";", "\t"};
    std::string text;
    const std::size_t wanted = std::min<std::size_t>(static_cast<std::size_t>(std::max(size, 0)), 10);
    for (std::size_t i = 0; i < wanted; ++i) {
        const auto byte = i < seed.size() ? static_cast<unsigned char>(seed[i]) : static_cast<unsigned char>(i * 7);
        text += alphabet[byte % std::size(alphabet)];
    }
    return text;
}

std::int32_t integerFrom(std::string_view seed)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(seed.size(), 4); ++i)
        v = (v << 8) | static_cast<unsigned char>(seed[i]);
    return static_cast<std::int32_t>(v);
}

// A name setFieldText reaches: every look-up by name takes the first field that
// matches regardless of case.
bool addressable(const RecordTable& t, std::size_t column)
{
    return t.fieldIndex(t.fields()[column].name) == static_cast<int>(column);
}

// A name setOrdering reaches as well: the ordering splits at ";" and strips blanks.
bool orderable(const RecordTable& t, std::size_t column)
{
    const std::string& name = t.fields()[column].name;
    if (name.find(';') != std::string::npos || name.front() == ' ' || name.front() == '\t' || name.back() == ' '
        || name.back() == '\t')
        return false;
    return addressable(t, column);
}

using Shown = std::vector<std::vector<std::string>>;

Shown shownRecords(const RecordTable& t)
{
    Shown rows(static_cast<std::size_t>(t.recordCount()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < t.fields().size(); ++c)
            rows[r].push_back(t.rowText(static_cast<int>(r), static_cast<int>(c)));
    }
    return rows;
}

// --- one opened table -----------------------------------------------------------------

void checkCurrentInRange(const RecordTable& t)
{
    const int n = t.recordCount();
    expect(n == 0 ? t.currentRow() == -1 : (t.currentRow() >= 0 && t.currentRow() < n),
           "the current row is outside the table");
}

// The rows (the first maxCheckedRows and the last) are in the order of the columns.
void checkSorted(const RecordTable& t, const std::vector<int>& columns)
{
    const int n = t.recordCount();
    auto checkPair = [&](int r) {
        for (const int c : columns) {
            const FieldDef& field = t.fields()[static_cast<std::size_t>(c)];
            const std::string a = t.rowText(r, c), b = t.rowText(r + 1, c);
            const int cmp = compareShown(field, a, b);
            if (cmp > 0)
                fault("rows are out of the ordering's order");
            if (cmp < 0)
                return;
            // Equal shown text: for a text field both may be null or empty, which
            // order differently, so the next column says nothing.
            if (field.kind == FieldKind::Text && a.empty())
                return;
        }
    };
    for (int r = 0; r + 1 < n && r < maxCheckedRows; ++r)
        checkPair(r);
    if (n > maxCheckedRows + 1)
        checkPair(n - 2);
}

// Look-ups on the ordering in force over columns: values taken from records must be
// found, at the first row holding them; the input's own bytes may be found or not.
void checkLookups(RecordTable& t, const std::vector<int>& columns, std::string_view input)
{
    const int n = t.recordCount();
    const FieldDef& first = t.fields()[static_cast<std::size_t>(columns[0])];
    for (const int row : {0, n / 2, n - 1}) {
        if (row < 0 || row >= n)
            continue;
        std::vector<FieldValue> key;
        bool mustFind = true;
        for (const int c : columns) {
            const FieldDef& field = t.fields()[static_cast<std::size_t>(c)];
            const std::string shown = t.rowText(row, c);
            if (field.kind == FieldKind::Text) {
                // An empty text may be null; a value longer than the field is cut
                // before the search, as the user's entry would be.
                mustFind = mustFind && !shown.empty() && fits(shown, field);
                key.emplace_back(shown);
            } else if (const auto number = asInteger(shown)) {
                key.emplace_back(*number);
            } else {
                mustFind = false;
                break;
            }
        }
        if (!mustFind)
            continue;
        expect(t.lookupKey(key), "a value taken from a record is not found");
        const int at = t.currentRow();
        for (std::size_t i = 0; i < columns.size(); ++i)
            expect(t.rowText(at, columns[i]) == t.rowText(row, columns[i]), "a look-up stops at another value");
        if (at > 0) {
            bool same = true;
            for (const int c : columns)
                same = same && t.rowText(at - 1, c) == t.rowText(at, c);
            expect(!same, "a look-up does not stop at the first matching row");
        }
    }

    // The input's own bytes as a key of the first column.
    const std::string_view slice = input.substr(input.size() / 3, std::min<std::size_t>(input.size() / 3, 12));
    std::vector<FieldValue> key{std::string(slice)};
    bool found = false;
    if (mayRefuse([&] { found = t.lookupKey(key); })) {
        if (first.kind == FieldKind::Text && !slice.empty() && fits(slice, first) && n <= maxCheckedRows) {
            bool present = false;
            for (int r = 0; r < n && !present; ++r)
                present = t.rowText(r, columns[0]) == slice;
            expect(found == present, "a look-up of the input's bytes disagrees with the rows");
            if (found)
                expect(t.rowText(t.currentRow(), columns[0]) == slice, "a look-up stops at another value");
        }
    } else {
        expect(first.kind == FieldKind::Integer, "a look-up of text in a text field is refused");
    }
    std::vector<FieldValue> number{integerFrom(input.substr(input.size() / 2))};
    mayRefuse([&] { t.lookupKey(number); });
    checkCurrentInRange(t);

    std::vector<FieldValue> tooMany(columns.size() + 1, FieldValue(std::int32_t{0}));
    mustRefuse([&] { t.lookupKey(tooMany); }, "a look-up with more values than the ordering has fields is accepted");
}

void checkMoves(RecordTable& t, std::string_view input)
{
    const int n = t.recordCount();
    t.moveFirst();
    expect(t.currentRow() == (n ? 0 : -1), "moveFirst does not reach the first row");
    t.moveLast();
    expect(t.currentRow() == n - 1, "moveLast does not reach the last row");
    const int step = input.empty() ? 1 : static_cast<signed char>(input.back());
    for (const int by : {-step, step, INT_MIN, INT_MAX, 0}) {
        const int from = t.currentRow();
        const int moved = t.moveBy(by);
        checkCurrentInRange(t);
        expect(t.currentRow() - from == moved, "moveBy reports another distance than it moved");
    }
}

void readRows(const RecordTable& t)
{
    const int n = std::min(t.recordCount(), maxCheckedRows);
    const int columns = static_cast<int>(std::min(t.fields().size(), maxReadColumns));
    std::size_t total = 0;
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < columns; ++c)
            total += t.rowText(r, c).size();
    }
    (void)total;
}

void checkOrderings(RecordTable& t, std::string_view input)
{
    const std::size_t fieldCount = t.fields().size();
    const int n = t.recordCount();
    std::vector<int> reachable;
    // The ordering in force, with its columns when known. A refused setOrdering keeps
    // the records in this order, though ordering() then gives the refused text.
    std::string inForce;
    std::vector<int> inForceColumns;
    for (std::size_t i = 0; i < fieldCount && reachable.size() < maxOrderedFields; ++i) {
        const std::string name = t.fields()[i].name;
        if (!orderable(t, i)) {
            // Such a name cannot be given as an ordering; trying must not hurt.
            if (mayRefuse([&] { t.setOrdering(name); })) {
                inForce = name;
                inForceColumns.clear();
            }
            continue;
        }
        reachable.push_back(static_cast<int>(i));
        t.setOrdering(name);
        inForce = name;
        inForceColumns = {static_cast<int>(i)};
        expect(t.recordCount() == n, "an ordering changes the number of records");
        checkCurrentInRange(t);
        checkSorted(t, {static_cast<int>(i)});
        checkLookups(t, {static_cast<int>(i)}, input);
        readRows(t);
    }
    if (reachable.size() >= 2) {
        const std::vector<int> pair{reachable[1], reachable[0]};
        inForce = t.fields()[static_cast<std::size_t>(pair[0])].name + ";"
                  + t.fields()[static_cast<std::size_t>(pair[1])].name;
        inForceColumns = pair;
        t.setOrdering(inForce);
        checkSorted(t, pair);
        checkLookups(t, pair, input);
    }

    const int row = t.currentRow();
    // No field name holds a control character, so this one names no field.
    mustRefuse([&] { t.setOrdering("\x01unknown"); }, "an ordering on an unknown field is accepted");
    expect(t.isOpen() && t.state() == TableState::Browsing, "a refused ordering closed the table");
    expect(t.recordCount() == n && t.currentRow() == row, "a refused ordering moved the records");
    checkSorted(t, inForceColumns);
    t.setOrdering(inForce);

    t.setOrdering("");
    mustRefuse([&] { t.lookupKey({FieldValue(std::string("x"))}); }, "a look-up without an ordering is accepted");
    checkMoves(t, input);
    readRows(t);
}

// The ordering a list switch would open the store in: its first two fields, or its
// first, as far as they can be named in an ordering; empty when the first cannot.
std::string switchOrdering(const RecordTable& t)
{
    if (t.fields().empty() || !orderable(t, 0))
        return {};
    const std::string& first = t.fields()[0].name;
    return t.fields().size() > 1 && orderable(t, 1) ? first + ";" + t.fields()[1].name : first;
}

// A store opened with the ordering already in force shows the rows that t, open on
// the same file and unchanged, shows once ordered so. t is left in storage order.
void checkOpenedInOrdering(RecordTable& t, const std::string& path, const std::string& ordering)
{
    if (ordering.empty())
        return;
    t.setOrdering(ordering);
    const Shown expected = shownRecords(t);
    t.setOrdering("");
    RecordTable inOrder;
    inOrder.setFileName(path);
    inOrder.setOrdering(ordering);
    inOrder.open();
    expect(shownRecords(inOrder) == expected, "a store opened in an ordering shows other rows than ordering it");
    expect(inOrder.currentRow() == (expected.empty() ? -1 : 0), "a store opened in an ordering is not at its first row");
    inOrder.close();
}

// An edit of a text field, a delete and an insert, each checked where it lands.
void checkChanges(RecordTable& t, std::string_view input)
{
    const std::size_t fieldCount = t.fields().size();
    std::optional<std::size_t> textColumn;
    for (std::size_t i = 0; i < fieldCount && !textColumn; ++i) {
        if (t.fields()[i].kind == FieldKind::Text && addressable(t, i))
            textColumn = i;
    }
    // With an ordering on the edited field the edit moves its record.
    if (textColumn && orderable(t, *textColumn))
        t.setOrdering(t.fields()[*textColumn].name);

    int n = t.recordCount();
    if (textColumn && n > 0) {
        t.moveFirst();
        t.moveBy(static_cast<int>(static_cast<unsigned>(integerFrom(input)) % static_cast<unsigned>(n)));
        t.beginEdit();
        expect(t.state() == TableState::Editing, "beginEdit on a record does not edit it");
        const FieldDef& field = t.fields()[*textColumn];
        const std::string text = textFrom(input.substr(input.size() / 4), field.size);
        t.setFieldText(field.name, text);
        expect(t.fieldText(field.name) == text, "an edited value does not read back");
        // Required fields that may be null get a value, so the post can succeed.
        bool fillable = true;
        const int row = t.currentRow();
        for (std::size_t i = 0; i < fieldCount; ++i) {
            const FieldDef& other = t.fields()[i];
            if (i == *textColumn || !other.required || !t.rowText(row, static_cast<int>(i)).empty())
                continue;
            if (addressable(t, i))
                t.setFieldText(other.name, other.kind == FieldKind::Integer ? "0" : textFrom("-", other.size));
            else
                fillable = false;
        }
        if (fillable) {
            t.postEdit();
        } else if (!mayRefuse([&] { t.postEdit(); })) {
            t.deleteCurrent();  // drops the edit that cannot be posted
            --n;
        }
        if (t.state() != TableState::Browsing)
            fault("a posted or dropped edit leaves the table editing");
        if (fillable) {
            expect(t.recordCount() == n, "an edit changes the number of records");
            expect(t.rowText(t.currentRow(), static_cast<int>(*textColumn)) == text, "the posted value is not shown");
        }
        checkSorted(t, t.ordering().empty() ? std::vector<int>{} : std::vector<int>{static_cast<int>(*textColumn)});
    }

    if (n > 0) {
        t.deleteCurrent();
        expect(t.recordCount() == n - 1, "deleteCurrent does not remove one record");
        --n;
        checkCurrentInRange(t);
    }

    std::vector<FieldValue> values;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < fieldCount; ++i) {
        const FieldDef& field = t.fields()[i];
        if (field.kind == FieldKind::Text) {
            values.emplace_back(textFrom(input.substr(std::min(i, input.size())), field.size));
            expected.push_back(std::get<std::string>(values.back()));
        } else {
            values.emplace_back(integerFrom(input.substr(std::min(i, input.size()))));
            expected.push_back(std::to_string(std::get<std::int32_t>(values.back())));
        }
    }
    t.insertValues(values);
    expect(t.recordCount() == n + 1, "insertValues does not add one record");
    for (std::size_t i = 0; i < fieldCount; ++i)
        expect(t.rowText(t.currentRow(), static_cast<int>(i)) == expected[i], "an inserted value is not shown");
    if (!t.ordering().empty() && textColumn)
        checkSorted(t, {static_cast<int>(*textColumn)});
}

// The opened table at path is exercised, closed (which writes it) and read again.
void exerciseOpened(RecordTable& t, const std::string& path, std::string_view input)
{
    expect(!t.fields().empty(), "an opened table has no fields");
    expect(t.state() == TableState::Browsing, "an opened table is not browsing");
    checkCurrentInRange(t);
    const std::string ordering = switchOrdering(t);
    checkOpenedInOrdering(t, path, ordering);
    readRows(t);
    checkOrderings(t, input);
    checkChanges(t, input);

    t.setOrdering("");
    const std::vector<FieldDef> fields = t.fields();
    const Shown records = shownRecords(t);
    t.setOrdering(ordering);  // written with its order
    t.close();
    expect(!t.isOpen(), "close leaves the table open");

    const std::optional<std::string> written = readWhole(path);
    expect(written.has_value(), "close did not leave the store file");
    const bool xml = path.ends_with(".xml");
    expect(xml ? written->starts_with("<?xml") : written->starts_with(fuzzing::binaryMagic),
           "close wrote another form than the file name asks for");

    RecordTable again;
    again.setFileName(path);
    again.open();
    expect(again.fields() == fields, "the written store reads back with other fields");
    expect(shownRecords(again) == records, "the written store reads back with other records");
    checkOpenedInOrdering(again, path, ordering);
    again.close();
    expect(readWhole(path) == written, "closing an unchanged table rewrote its file");
}

void checkFile(std::string_view content, const char* name, std::string_view input)
{
    const std::string path = (workFolder() / name).string();
    writeWhole(path, content);
    bool opened = false;
    {
        RecordTable t;
        t.setFileName(path);
        try {
            t.open();
            opened = true;
        } catch (const RecordTableError&) {
            expect(!t.isOpen(), "a refused file left the table open");
        }
        if (opened)
            exerciseOpened(t, path, input);
    }
    if (!opened)
        expect(readWhole(path) == std::optional<std::string>(std::string(content)), "a refused file was changed");
}

void checkContent(std::string_view content, std::string_view input)
{
    checkFile(content, "x.db", input);
    checkFile(content, "x.xml", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    try {
        checkContent(input, input);
        if (const auto repaired = fuzzing::repairedBinary(input))
            checkContent(*repaired, input);
    } catch (const std::exception& e) {
        fault(std::string("unexpected exception: ") + e.what());
    } catch (...) {
        fault("unexpected exception of an unknown type");
    }
    return 0;
}
