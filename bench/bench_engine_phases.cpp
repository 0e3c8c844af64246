// Times the record table's phases one by one on the realistic benchmark records:
// adding as the Add command does, re-ordering, finding every key, writing the store,
// reading its bytes plainly and opening it again; then the resident memory per
// record. Only the record table runs, so a profiler sees nothing else.
//
// Last, a close with changes to write three ways: the file as read, the file read
// again at the close because it was written just before it was read, and the file
// changed by another writer meanwhile and merged with (see RecordMerge.h).
//
// Usage: bench_engine_phases [records [loads [closes]]]   (default 1000000 records,
// 1 load, 3 runs of the closes); more loads repeat the opening, for a profile of it
// (the best of those is shown too).

#include "RecordStore.h"
#include "RecordTable.h"
#include "benchMeasure.h"
#include "benchRecords.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using benchMeasure::plainRead;
using benchMeasure::residentBytes;
using benchMeasure::secondsOf;

// One change of each kind near record `at`: an edit, a deletion and an insertion.
void changeSome(RecordTable& table, const benchRecords::Records& records, int at)
{
    table.moveFirst();
    table.moveBy(at);
    table.beginEdit();
    table.setFieldText("PASSWORD", "changed at " + std::to_string(at));
    table.postEdit();
    table.moveBy(1);
    table.deleteCurrent();
    table.insertValues(records.rows[static_cast<std::size_t>(at)]);
}

struct CloseCost {
    double seconds = 0;
    double extraBytes = 0;  // the peak of resident memory during the close, over that before it
    bool merged = false;
};

CloseCost timedClose(RecordTable& table)
{
    CloseCost cost;
    const double before = residentBytes();
    benchMeasure::resetPeakResident();
    cost.seconds = secondsOf([&] { table.close(); });
    cost.extraBytes = benchMeasure::peakResidentBytes() - before;
    cost.merged = table.lastCloseMerged();
    return cost;
}

// A close with changes to write, the three ways it can go: the file is as it was read
// and has not been changed for a while (it is not read again: the usual case); it was
// written a moment before it was read, so it is read again and found the same; another
// writer changed it meanwhile, so it is read again and merged with.
struct CloseCosts {
    CloseCost plain, readAgain, merged;
};

// Each run changes other records (run is 0, 1, ...), so that no change undoes one of
// an earlier run.
CloseCosts closeCosts(const std::string& file, const benchRecords::Records& records, int run)
{
    const int at = 1000 * run;
    CloseCosts costs;
    RecordTable table;
    table.setFileName(file);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the file settles
    table.open();
    changeSome(table, records, at + 10);
    costs.plain = timedClose(table);

    table.open();  // just written
    changeSome(table, records, at + 20);
    costs.readAgain = timedClose(table);

    table.open();
    {
        RecordTable other;
        other.setFileName(file);
        other.open();
        changeSome(other, records, at + 30);
        other.close();
    }
    changeSome(table, records, at + 40);
    costs.merged = timedClose(table);
    return costs;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const benchRecords::Records records = benchRecords::makeRecords(count);
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "quorrel-engine-phases.db";
    std::filesystem::remove(file);
    const double baseline = residentBytes();

    double add = 0, reorder = 0, lookup = 0, write = 0, plain = 0, load = 0, memoryAfterAdd = 0;
    int found = 0;
    {
        RecordTable table;
        declareRecordSchema(table);
        table.createEmpty();
        add = secondsOf([&] {
            for (std::size_t i = 0; i < records.rows.size(); ++i) {
                table.setOrdering("NAME;LOGIN");
                table.lookupKey(records.keys[i]);
                table.insertValues(records.rows[i]);
            }
        });
        memoryAfterAdd = (residentBytes() - baseline) / count;
        reorder = secondsOf([&] {
            table.setOrdering("LOGIN");
            table.setOrdering("PASSWORD");
            table.setOrdering("NAME;LOGIN");
        });
        lookup = secondsOf([&] {
            for (const auto& key : records.keys)
                found += table.lookupKey(key) ? 1 : 0;
        });
        table.setFileName(file.string());
        write = secondsOf([&] { table.close(); });
    }
    // The written table's memory goes back to the system first, so that the load,
    // like the plain read, fills fresh memory as a program starting up would.
    malloc_trim(0);
    plain = plainRead(file);
    RecordTable loaded;
    loaded.setFileName(file.string());
    load = secondsOf([&] { loaded.open(); });
    double reload = 0;
    for (int again = argc > 2 ? std::atoi(argv[2]) : 1; again > 1; --again) {
        loaded.close();
        malloc_trim(0);
        const double seconds = secondsOf([&] { loaded.open(); });
        reload = reload == 0 ? seconds : std::min(reload, seconds);
    }
    const double memoryAfterLoad = (residentBytes() - baseline) / count;
    if (found != count || loaded.recordCount() != count)
        std::printf("(found %d keys, loaded %d records, expected %d)\n", found, loaded.recordCount(), count);
    loaded.setFileName({});
    loaded.close();

    std::vector<CloseCosts> closes;
    for (int run = 0, runs = argc > 3 ? std::atoi(argv[3]) : 3; run < runs; ++run) {
        closes.push_back(closeCosts(file.string(), records, run));
        const CloseCosts& last = closes.back();
        if (last.plain.merged || last.readAgain.merged || !last.merged.merged)
            std::printf("(the closes merged %d %d %d, expected 0 0 1)\n", last.plain.merged, last.readAgain.merged,
                        last.merged.merged);
    }
    std::filesystem::remove(file);

    std::printf("%d records, %.1f text bytes per record\n", count, double(records.textBytes) / count);
    std::printf("add %.3f s (%.2f us/record)\nreorder %.3f s\nlookup %.3f s (%.2f us/key)\n", add, add * 1e6 / count,
                reorder, lookup, lookup * 1e6 / count);
    std::printf("write %.3f s\nplain read %.3f s\nload %.3f s (%.2fx plain read)\n", write, plain, load, load / plain);
    if (reload > 0)
        std::printf("best later load %.3f s (%.2fx plain read)\n", reload, reload / plain);
    std::printf("memory per record: %.1f after add, %.1f after load\n", memoryAfterAdd, memoryAfterLoad);
    if (closes.empty())
        return 0;
    const auto seconds = [&](CloseCost CloseCosts::*way) {
        std::vector<double> all;
        for (const CloseCosts& c : closes)
            all.push_back((c.*way).seconds);
        return median(all);
    };
    const auto bytes = [&](CloseCost CloseCosts::*way) {
        std::vector<double> all;
        for (const CloseCosts& c : closes)
            all.push_back((c.*way).extraBytes / count);
        return median(all);
    };
    const double plainClose = seconds(&CloseCosts::plain);
    std::printf("close with a change, median of %zu (seconds; extra memory at its peak, bytes per record):\n",
                closes.size());
    std::printf("  file as read                     %.3f s  %6.1f B\n", plainClose, bytes(&CloseCosts::plain));
    std::printf("  file just written, read again    %.3f s  %6.1f B  %.2fx\n", seconds(&CloseCosts::readAgain),
                bytes(&CloseCosts::readAgain), seconds(&CloseCosts::readAgain) / plainClose);
    std::printf("  file changed meanwhile, merged   %.3f s  %6.1f B  %.2fx\n", seconds(&CloseCosts::merged),
                bytes(&CloseCosts::merged), seconds(&CloseCosts::merged) / plainClose);
    std::printf("%s merge at most 2x a close of the file as read: %.2fx\n",
                seconds(&CloseCosts::merged) <= 2 * plainClose ? "met    " : "NOT met", seconds(&CloseCosts::merged) / plainClose);
    return 0;
}
