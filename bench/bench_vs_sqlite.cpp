// Measures the record table against an in-memory SQLite database doing the same
// work on the same records: adding records the way the program's Add command does,
// re-ordering by the other indexed columns, finding every key, writing the store to
// a file and loading it back, loading it once more in the ordering "NAME;LOGIN" (as
// the window's list switch does), and the memory the records take.
//
// Each side runs in a forked child of its own, so that one side's heap never counts
// towards the other's memory and neither inherits the other's fragmented heap. The
// records are generated once per size in the parent, before any child starts.
//
// Usage: bench_vs_sqlite [--sizes N,N,...] [--reps R] [--large-reps R]
//   --sizes       record counts to run (default 10000,100000,1000000)
//   --reps        runs of each side for sizes below 1,000,000 (default 3)
//   --large-reps  runs of each side for sizes of 1,000,000 and more (default 3)

#include "RecordStore.h"
#include "RecordTable.h"
#include "benchMeasure.h"
#include "benchRecords.h"

#include <sqlite3.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using benchRecords::Records;
using benchRecords::makeRecords;
using benchRecords::textOf;

using benchMeasure::plainRead;
using benchMeasure::residentBytes;
using benchMeasure::secondsOf;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- measuring

enum Phase { Add, Reorder, Lookup, Write, Load, PlainRead, Reopen, PhaseCount };
const std::array<const char*, PhaseCount> phaseNames{"add",  "reorder",           "lookup",
                                                     "write", "load",             "plain read of file",
                                                     "reopen in NAME;LOGIN"};

struct Result {
    std::array<double, PhaseCount> seconds{};
    double bytesAfterAdd = 0;   // resident memory growth with the records added
    double bytesAfterLoad = 0;  // resident memory growth with the written file loaded
    std::uint64_t fileBytes = 0;
};

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "bench_vs_sqlite: %s\n", what.c_str());
    std::_Exit(2);
}

// Every row of the table, whose keys are all different, stands after the one before
// it in the order of NAME, then LOGIN.
void checkInNameLoginOrder(const RecordTable& table, int count)
{
    if (table.recordCount() != count)
        fail("record table: reopened " + std::to_string(table.recordCount()) + " records, expected " +
             std::to_string(count));
    const int name = table.fieldIndex("NAME"), login = table.fieldIndex("LOGIN");
    std::string previousName, previousLogin;
    for (int row = 0; row < count; ++row) {
        std::string rowName = table.rowText(row, name), rowLogin = table.rowText(row, login);
        if (row > 0 && (rowName < previousName || (rowName == previousName && rowLogin <= previousLogin)))
            fail("record table: the reopened records are not in NAME;LOGIN order at row " + std::to_string(row));
        previousName = std::move(rowName);
        previousLogin = std::move(rowLogin);
    }
}

Result runRecordTable(const Records& records, const fs::path& folder)
{
    Result r;
    const int count = static_cast<int>(records.rows.size());
    const double baseline = residentBytes();
    const fs::path file = folder / "records.db";
    {
        RecordTable table;
        declareRecordSchema(table);
        table.createEmpty();

        r.seconds[Add] = secondsOf([&] {
            for (std::size_t i = 0; i < records.rows.size(); ++i) {
                table.setOrdering("NAME;LOGIN");
                if (table.lookupKey(records.keys[i]))
                    fail("record table: a new key was found before it was added");
                table.insertValues(records.rows[i]);
            }
        });
        r.bytesAfterAdd = residentBytes() - baseline;

        r.seconds[Reorder] = secondsOf([&] {
            table.setOrdering("LOGIN");
            table.moveFirst();
            table.setOrdering("PASSWORD");
            table.moveFirst();
            table.setOrdering("NAME;LOGIN");
            table.moveFirst();
        });

        int found = 0;
        r.seconds[Lookup] = secondsOf([&] {
            for (const auto& key : records.keys)
                found += table.lookupKey(key) ? 1 : 0;
        });
        if (found != count || table.recordCount() != count)
            fail("record table: found " + std::to_string(found) + " keys and holds " +
                 std::to_string(table.recordCount()) + " records, expected " + std::to_string(count));

        fs::remove(file);
        table.setFileName(file.string());
        r.seconds[Write] = secondsOf([&] { table.close(); });
    }
    // The written table's memory goes back to the system first, so that the load,
    // like the plain read, fills fresh memory as a program starting up would.
    malloc_trim(0);
    r.seconds[PlainRead] = plainRead(file, &r.fileBytes);

    {
        RecordTable loaded;
        loaded.setFileName(file.string());
        r.seconds[Load] = secondsOf([&] { loaded.open(); });
        if (loaded.recordCount() != count)
            fail("record table: loaded " + std::to_string(loaded.recordCount()) + " records, expected " +
                 std::to_string(count));
        r.bytesAfterLoad = residentBytes() - baseline;
        loaded.setFileName({});  // nothing changed; keep the file as written
    }
    malloc_trim(0);

    // The list switch opens a list with the ordering the user chose still in force.
    RecordTable reopened;
    reopened.setFileName(file.string());
    reopened.setOrdering("NAME;LOGIN");
    r.seconds[Reopen] = secondsOf([&] { reopened.open(); });
    checkInNameLoginOrder(reopened, count);
    reopened.setFileName({});
    return r;
}

void check(sqlite3* db, int code, const char* what)
{
    if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW)
        fail(std::string("sqlite: ") + what + ": " + sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql)
{
    check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql);
}

sqlite3_stmt* prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    check(db, sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), sql);
    return statement;
}

void bindText(sqlite3_stmt* statement, int column, const FieldValue& value)
{
    const std::string& text = textOf(value);
    sqlite3_bind_text(statement, column, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// Reads the first row in an ordering, which makes SQLite use that ordering's index.
void readFirst(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = prepare(db, sql);
    if (sqlite3_step(statement) != SQLITE_ROW)
        fail(std::string("sqlite: no first row for ") + sql);
    sqlite3_finalize(statement);
}

std::int64_t countRows(sqlite3* db)
{
    sqlite3_stmt* statement = prepare(db, "SELECT count(*) FROM records");
    check(db, sqlite3_step(statement), "count");
    const std::int64_t rows = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return rows;
}

// A new in-memory database holding a copy of the database file, made by the backup
// API, indexes and all.
sqlite3* loadCopy(const fs::path& file)
{
    sqlite3* source = nullptr;
    sqlite3* copy = nullptr;
    if (sqlite3_open_v2(file.c_str(), &source, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail("sqlite: cannot open " + file.string());
    if (sqlite3_open(":memory:", &copy) != SQLITE_OK)
        fail("sqlite: cannot open an in-memory database");
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
    if (backup == nullptr)
        fail(std::string("sqlite: backup: ") + sqlite3_errmsg(copy));
    check(copy, sqlite3_backup_step(backup, -1), "backup step");
    check(copy, sqlite3_backup_finish(backup), "backup finish");
    sqlite3_close(source);
    return copy;
}

Result runSqlite(const Records& records, const fs::path& folder)
{
    Result r;
    const int count = static_cast<int>(records.rows.size());
    const double baseline = residentBytes();
    const fs::path file = folder / "records.sqlite";
    {
        sqlite3* db = nullptr;
        if (sqlite3_open(":memory:", &db) != SQLITE_OK)
            fail("sqlite: cannot open an in-memory database");
        exec(db,
             "CREATE TABLE records (NAME TEXT NOT NULL, LOGIN TEXT NOT NULL, PASSWORD TEXT NOT NULL, "
             "NOTES TEXT, RECTYPE INTEGER NOT NULL)");
        exec(db, "CREATE UNIQUE INDEX nameidx ON records (NAME, LOGIN)");
        sqlite3_stmt* find = prepare(db, "SELECT rowid FROM records WHERE NAME = ?1 AND LOGIN = ?2");
        sqlite3_stmt* insert = prepare(db, "INSERT INTO records VALUES (?1, ?2, ?3, ?4, ?5)");

        r.seconds[Add] = secondsOf([&] {
            exec(db, "BEGIN");
            for (std::size_t i = 0; i < records.rows.size(); ++i) {
                const auto& row = records.rows[i];
                bindText(find, 1, row[0]);
                bindText(find, 2, row[1]);
                const int found = sqlite3_step(find);
                check(db, found, "select");
                if (found == SQLITE_ROW)
                    fail("sqlite: a new key was found before it was added");
                sqlite3_reset(find);
                for (int c = 0; c < 4; ++c)
                    bindText(insert, c + 1, row[static_cast<std::size_t>(c)]);
                sqlite3_bind_int(insert, 5, std::get<std::int32_t>(row[4]));
                check(db, sqlite3_step(insert), "insert");
                sqlite3_reset(insert);
            }
            exec(db, "COMMIT");
        });
        r.bytesAfterAdd = residentBytes() - baseline;

        r.seconds[Reorder] = secondsOf([&] {
            exec(db, "CREATE INDEX loginidx ON records (LOGIN)");
            readFirst(db, "SELECT * FROM records ORDER BY LOGIN LIMIT 1");
            exec(db, "CREATE INDEX passidx ON records (PASSWORD)");
            readFirst(db, "SELECT * FROM records ORDER BY PASSWORD LIMIT 1");
            readFirst(db, "SELECT * FROM records ORDER BY NAME, LOGIN LIMIT 1");
        });

        int found = 0;
        r.seconds[Lookup] = secondsOf([&] {
            for (const auto& key : records.keys) {
                bindText(find, 1, key[0]);
                bindText(find, 2, key[1]);
                const int step = sqlite3_step(find);
                check(db, step, "select");
                found += step == SQLITE_ROW ? 1 : 0;
                sqlite3_reset(find);
            }
        });
        if (found != count || countRows(db) != count)
            fail("sqlite: found " + std::to_string(found) + " keys and holds " + std::to_string(countRows(db)) +
                 " records, expected " + std::to_string(count));
        sqlite3_finalize(find);
        sqlite3_finalize(insert);

        fs::remove(file);  // VACUUM INTO refuses to replace a file
        const std::string vacuum = "VACUUM INTO '" + file.string() + "'";
        r.seconds[Write] = secondsOf([&] { exec(db, vacuum.c_str()); });
        sqlite3_close(db);
    }
    malloc_trim(0);  // as for the record table: the load fills fresh memory
    r.seconds[PlainRead] = plainRead(file, &r.fileBytes);

    sqlite3* loaded = nullptr;
    r.seconds[Load] = secondsOf([&] { loaded = loadCopy(file); });
    if (countRows(loaded) != count)
        fail("sqlite: loaded " + std::to_string(countRows(loaded)) + " records, expected " + std::to_string(count));
    r.bytesAfterLoad = residentBytes() - baseline;
    sqlite3_close(loaded);
    malloc_trim(0);

    // The file's index on NAME, LOGIN comes with the copy: the first row in that
    // order is at hand once it is loaded.
    r.seconds[Reopen] = secondsOf([&] {
        loaded = loadCopy(file);
        readFirst(loaded, "SELECT * FROM records ORDER BY NAME, LOGIN LIMIT 1");
    });
    if (countRows(loaded) != count)
        fail("sqlite: reloaded " + std::to_string(countRows(loaded)) + " records, expected " + std::to_string(count));
    sqlite3_close(loaded);
    return r;
}

// Runs one side in a forked child, which sends its result back through a pipe.
template <class Side>
Result inChild(Side side, const Records& records, const fs::path& folder)
{
    int channel[2];
    if (pipe(channel) != 0)
        fail("cannot make a pipe");
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0)
        fail("cannot fork");
    if (child == 0) {
        close(channel[0]);
        Result result{};
        try {
            result = side(records, folder);
        } catch (const std::exception& e) {
            fail(std::string("exception: ") + e.what());
        }
        const auto* bytes = reinterpret_cast<const char*>(&result);
        std::size_t sent = 0;
        while (sent < sizeof result) {
            const ssize_t n = write(channel[1], bytes + sent, sizeof result - sent);
            if (n <= 0)
                std::_Exit(3);
            sent += static_cast<std::size_t>(n);
        }
        std::_Exit(0);
    }
    close(channel[1]);
    Result result{};
    auto* bytes = reinterpret_cast<char*>(&result);
    std::size_t got = 0;
    while (got < sizeof result) {
        const ssize_t n = read(channel[0], bytes + got, sizeof result - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got != sizeof result) {
        std::error_code error;
        fs::remove_all(folder, error);
        fail("a benchmark child failed; the figures would be wrong");
    }
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size() / 2;
    return values.size() % 2 ? values[m] : (values[m - 1] + values[m]) / 2;
}

// The medians of one side's runs, phase by phase.
Result medianOf(const std::vector<Result>& runs)
{
    Result m;
    for (int p = 0; p < PhaseCount; ++p) {
        std::vector<double> v;
        for (const Result& r : runs)
            v.push_back(r.seconds[static_cast<std::size_t>(p)]);
        m.seconds[static_cast<std::size_t>(p)] = median(v);
    }
    std::vector<double> add, load;
    for (const Result& r : runs) {
        add.push_back(r.bytesAfterAdd);
        load.push_back(r.bytesAfterLoad);
    }
    m.bytesAfterAdd = median(add);
    m.bytesAfterLoad = median(load);
    m.fileBytes = runs.front().fileBytes;
    return m;
}

double totalOf(const Result& r)
{
    return r.seconds[Add] + r.seconds[Reorder] + r.seconds[Lookup] + r.seconds[Write] + r.seconds[Load];
}

struct SizeResult {
    int count = 0;
    int runs = 0;
    double textPerRecord = 0;
    Result table, sqlite;
};

void printSize(const SizeResult& s)
{
    const double n = s.count;
    std::printf("\n%d records, median of %d run%s of each side; %.1f text bytes per record\n", s.count, s.runs,
                s.runs == 1 ? "" : "s", s.textPerRecord);
    std::printf("| %-22s | %14s | %14s | %9s |\n", "phase", "RecordTable s", "SQLite s", "RT/SQLite");
    std::printf("|------------------------|----------------|----------------|-----------|\n");
    for (int p = 0; p < PhaseCount; ++p) {
        const double a = s.table.seconds[static_cast<std::size_t>(p)];
        const double b = s.sqlite.seconds[static_cast<std::size_t>(p)];
        std::printf("| %-22s | %14.4f | %14.4f | %9.3f |\n", phaseNames[static_cast<std::size_t>(p)], a, b, a / b);
    }
    const double ta = totalOf(s.table), tb = totalOf(s.sqlite);
    std::printf("| %-22s | %14.4f | %14.4f | %9.3f |\n", "total, add to load", ta, tb, ta / tb);
    const auto perRecord = [&](const char* what, double a, double b, const char* unit) {
        std::printf("| %-22s | %14.2f | %14.2f | %9.3f |  %s\n", what, a, b, a / b, unit);
    };
    perRecord("add, per record", s.table.seconds[Add] / n * 1e6, s.sqlite.seconds[Add] / n * 1e6, "us");
    perRecord("lookup, per key", s.table.seconds[Lookup] / n * 1e6, s.sqlite.seconds[Lookup] / n * 1e6, "us");
    perRecord("load / plain read", s.table.seconds[Load] / s.table.seconds[PlainRead],
              s.sqlite.seconds[Load] / s.sqlite.seconds[PlainRead], "x");
    perRecord("reopen / plain read", s.table.seconds[Reopen] / s.table.seconds[PlainRead],
              s.sqlite.seconds[Reopen] / s.sqlite.seconds[PlainRead], "x");
    perRecord("file, per record", static_cast<double>(s.table.fileBytes) / n,
              static_cast<double>(s.sqlite.fileBytes) / n, "bytes");
    perRecord("memory after add", s.table.bytesAfterAdd / n, s.sqlite.bytesAfterAdd / n, "bytes per record");
    perRecord("memory after load", s.table.bytesAfterLoad / n, s.sqlite.bytesAfterLoad / n, "bytes per record");
}

void goal(bool met, const std::string& text)
{
    std::printf("%-8s %s\n", met ? "met" : "NOT met", text.c_str());
}

std::string format(const char* pattern, double a, double b = 0, double c = 0)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
    return buffer;
}

void printGoals(const std::vector<SizeResult>& sizes)
{
    std::printf("\nGoals\n");
    const SizeResult* small = nullptr;
    const SizeResult* large = nullptr;
    for (const SizeResult& s : sizes) {
        if (s.count == 10000)
            small = &s;
        if (s.count == 1000000)
            large = &s;
    }
    const SizeResult* top = large != nullptr ? large : &sizes.back();
    const char* at = large != nullptr ? "at 1,000,000" : "at the largest size run (1,000,000 was not run)";
    const Result& t = top->table;
    const Result& q = top->sqlite;

    goal(totalOf(t) <= totalOf(q) / 4, std::string("total ") + at +
                                           format(": RecordTable %.3f s, SQLite %.3f s, ratio %.3f (goal <= 0.25)",
                                                  totalOf(t), totalOf(q), totalOf(t) / totalOf(q)));
    for (Phase p : {Add, Reorder, Lookup, Write}) {
        const double a = t.seconds[p], b = q.seconds[p];
        goal(a < b, std::string(phaseNames[p]) + " faster than SQLite " + at +
                        format(": %.4f s against %.4f s, ratio %.3f", a, b, a / b));
    }
    const double loadRatio = t.seconds[Load] / t.seconds[PlainRead];
    goal(loadRatio <= 3, std::string("load within 3x the plain read ") + at +
                             format(": %.4f s against %.4f s, %.2fx", t.seconds[Load], t.seconds[PlainRead], loadRatio));
    const double reopenRatio = t.seconds[Reopen] / t.seconds[PlainRead];
    goal(reopenRatio <= 3, std::string("reopen in NAME;LOGIN within 3x the plain read ") + at +
                               format(": %.4f s against %.4f s, %.2fx", t.seconds[Reopen], t.seconds[PlainRead],
                                      reopenRatio));
    goal(t.seconds[Reopen] < q.seconds[Reopen],
         std::string("reopen in NAME;LOGIN faster than SQLite's load with its index ") + at +
             format(": %.4f s against %.4f s, ratio %.3f", t.seconds[Reopen], q.seconds[Reopen],
                    t.seconds[Reopen] / q.seconds[Reopen]));
    if (small != nullptr && large != nullptr) {
        for (Phase p : {Add, Lookup}) {
            const double a = small->table.seconds[p] / small->count * 1e6;
            const double b = large->table.seconds[p] / large->count * 1e6;
            goal(b <= 2 * a, std::string(phaseNames[p]) +
                                 format(" time per record from 10,000 to 1,000,000: %.3f us to %.3f us, %.2fx (goal <= 2x)",
                                        a, b, b / a));
        }
    } else {
        std::printf("%-8s growth of per-add and per-lookup time: needs both 10,000 and 1,000,000 in --sizes\n",
                    "skipped");
    }
    const double limit = 2 * top->textPerRecord + 64;
    const double used = std::max(t.bytesAfterAdd, t.bytesAfterLoad) / top->count;
    goal(used <= limit, std::string("memory ") + at +
                            format(": %.1f bytes per record (the larger of after add and after load), "
                                   "limit 2 x %.1f text bytes + 64 = %.1f",
                                   used, top->textPerRecord, limit));
}

std::vector<int> parseSizes(const std::string& text)
{
    std::vector<int> sizes;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const int n = std::atoi(text.substr(start, end - start).c_str());
        if (n <= 0)
            throw std::invalid_argument("bad size in --sizes: " + text);
        sizes.push_back(n);
        start = end + 1;
    }
    return sizes;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> sizes{10000, 100000, 1000000};
    int reps = 3, largeReps = 3;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const bool hasValue = i + 1 < argc;
            if (arg == "--sizes" && hasValue)
                sizes = parseSizes(argv[++i]);
            else if (arg == "--reps" && hasValue)
                reps = std::max(1, std::atoi(argv[++i]));
            else if (arg == "--large-reps" && hasValue)
                largeReps = std::max(1, std::atoi(argv[++i]));
            else
                throw std::invalid_argument("unknown argument " + arg);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\nusage: %s [--sizes N,N,...] [--reps R] [--large-reps R]\n", e.what(), argv[0]);
        return 1;
    }

    std::error_code error;
    const fs::path folder = fs::temp_directory_path() / ("quorrel-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);

    std::printf("RecordTable against SQLite %s in memory (times in seconds)\n", sqlite3_libversion());
    std::vector<SizeResult> results;
    for (int count : sizes) {
        SizeResult s;
        s.count = count;
        s.runs = count >= 1000000 ? largeReps : reps;
        const Records records = makeRecords(count);
        s.textPerRecord = static_cast<double>(records.textBytes) / count;
        std::vector<Result> table, sqlite;
        for (int run = 0; run < s.runs; ++run) {
            table.push_back(inChild(runRecordTable, records, folder));
            sqlite.push_back(inChild(runSqlite, records, folder));
        }
        s.table = medianOf(table);
        s.sqlite = medianOf(sqlite);
        printSize(s);
        results.push_back(s);
    }
    printGoals(results);
    fs::remove_all(folder, error);
    return 0;
}
