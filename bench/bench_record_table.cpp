// Times the record table's per-record operations on a small and on a large table,
// so that their growth with the table's size can be read off: finding a key,
// inserting at the sorted place, deleting, reading a row of the ordering, and
// re-sorting the whole table.

#include "RecordTable.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string randomText(std::mt19937& random, std::size_t length)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string text(length, ' ');
    for (char& c : text)
        c = letters[random() % (sizeof letters - 1)];
    return text;
}

struct Timings {
    double lookupKey = 0, insertSorted = 0, deleteCurrent = 0, rowText = 0, rowTextWindow = 0;
    double setOrderingCall = 0, setOrderingPerRecord = 0;
    double closePerRecord = 0, openPerRecord = 0;
};

template <class Step>
double nanosecondsPer(int count, Step step)
{
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        step(i);
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    return elapsed.count() / count;
}

Timings measure(int records)
{
    std::mt19937 random(12345);
    RecordTable table;
    table.addFieldDef("NAME", FieldKind::Text, 100, true);
    table.addFieldDef("LOGIN", FieldKind::Text, 40, true);
    table.addFieldDef("PASSWORD", FieldKind::Text, 50, true);
    table.addFieldDef("NOTES", FieldKind::Text, 256, false);
    table.addFieldDef("RECTYPE", FieldKind::Integer, 0, true);
    table.createEmpty();

    std::vector<std::pair<std::string, std::string>> keys;
    keys.reserve(static_cast<std::size_t>(records));
    for (int i = 0; i < records; ++i) {
        keys.emplace_back(randomText(random, 12), randomText(random, 8));
        table.insertValues({keys.back().first, keys.back().second, randomText(random, 10), std::string(), std::int32_t{0}});
    }

    Timings t;
    const int operations = 100000;

    // A whole re-sort, alternating between two orderings.
    const int sorts = 4;
    t.setOrderingCall = nanosecondsPer(sorts, [&](int i) { table.setOrdering(i % 2 ? "NAME;LOGIN" : "LOGIN"); });
    t.setOrderingPerRecord = t.setOrderingCall / records;

    std::vector<std::vector<FieldValue>> probes;
    for (int i = 0; i < operations; ++i) {
        const auto& key = keys[random() % keys.size()];
        probes.push_back({key.first, key.second});
    }
    int found = 0;
    t.lookupKey = nanosecondsPer(operations, [&](int i) { found += table.lookupKey(probes[static_cast<std::size_t>(i)]); });
    if (found != operations)
        std::printf("  (only %d of %d lookups found their key)\n", found, operations);

    std::vector<int> rows;
    for (int i = 0; i < operations; ++i)
        rows.push_back(static_cast<int>(random() % static_cast<unsigned>(records)));
    std::size_t characters = 0;
    t.rowText = nanosecondsPer(operations, [&](int i) { characters += table.rowText(rows[static_cast<std::size_t>(i)], 0).size(); });
    if (characters == 0)
        std::printf("  (no text read)\n");

    // What a grid does: read the rows of one screen, around a random record.
    const int window = 40;
    t.rowTextWindow = nanosecondsPer(operations, [&](int i) {
        const int first = std::min(rows[static_cast<std::size_t>(i / window)], records - window);
        characters += table.rowText(first + i % window, 0).size();
    });

    std::vector<std::vector<FieldValue>> fresh;
    for (int i = 0; i < operations; ++i)
        fresh.push_back({randomText(random, 12), randomText(random, 8), std::string("pw"), std::string(), std::int32_t{0}});
    t.insertSorted = nanosecondsPer(operations, [&](int i) { table.insertValues(fresh[static_cast<std::size_t>(i)]); });

    // Deletes from the middle of the ordering; each makes the following record current.
    table.moveFirst();
    table.moveBy(table.recordCount() / 2 - operations / 2);
    t.deleteCurrent = nanosecondsPer(operations, [&](int) { table.deleteCurrent(); });
    if (table.recordCount() != records)
        std::printf("  (record count %d, expected %d)\n", table.recordCount(), records);

    // Writing the whole store at close and reading it back at open.
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("quorrel-bench-" + std::to_string(records) + ".db");
    table.setFileName(file.string());
    t.closePerRecord = nanosecondsPer(1, [&](int) { table.close(); }) / records;
    t.openPerRecord = nanosecondsPer(1, [&](int) { table.open(); }) / records;
    if (table.recordCount() != records)
        std::printf("  (reopened with %d records, expected %d)\n", table.recordCount(), records);
    table.setFileName({});
    std::filesystem::remove(file);
    return t;
}

}  // namespace

int main()
{
    const int small = 10000, large = 1000000;
    std::printf("Record table timings (nanoseconds per operation)\n");
    const auto buildStart = Clock::now();
    const Timings a = measure(small);
    const Timings b = measure(large);
    const std::chrono::duration<double> total = Clock::now() - buildStart;

    std::printf("%-28s %14s %14s %10s\n", "operation", "10,000", "1,000,000", "ratio");
    const auto line = [](const char* name, double x, double y) {
        std::printf("%-28s %14.1f %14.1f %9.2fx\n", name, x, y, y / x);
    };
    line("lookupKey", a.lookupKey, b.lookupKey);
    line("insertValues (sorted place)", a.insertSorted, b.insertSorted);
    line("deleteCurrent", a.deleteCurrent, b.deleteCurrent);
    line("rowText (random row)", a.rowText, b.rowText);
    line("rowText (40-row window)", a.rowTextWindow, b.rowTextWindow);
    line("setOrdering, per record", a.setOrderingPerRecord, b.setOrderingPerRecord);
    line("close (write), per record", a.closePerRecord, b.closePerRecord);
    line("open (read), per record", a.openPerRecord, b.openPerRecord);
    std::printf("%-28s %14.0f %14.0f\n", "setOrdering, per call", a.setOrderingCall, b.setOrderingCall);
    std::printf("total run time %.1f s\n", total.count());
    return 0;
}
