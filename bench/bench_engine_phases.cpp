// Times the record table's phases one by one on the realistic benchmark records:
// adding as the Add command does, re-ordering, finding every key, writing the store,
// reading its bytes plainly and opening it again; then the resident memory per
// record. Only the record table runs, so a profiler sees nothing else.
//
// Usage: bench_engine_phases [records [loads]]   (default 1000000 records, 1 load);
// more loads repeat the opening, for a profile of it (the best of those is shown too).

#include "RecordStore.h"
#include "RecordTable.h"
#include "benchMeasure.h"
#include "benchRecords.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using benchMeasure::plainRead;
using benchMeasure::residentBytes;
using benchMeasure::secondsOf;

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
    std::filesystem::remove(file);

    std::printf("%d records, %.1f text bytes per record\n", count, double(records.textBytes) / count);
    std::printf("add %.3f s (%.2f us/record)\nreorder %.3f s\nlookup %.3f s (%.2f us/key)\n", add, add * 1e6 / count,
                reorder, lookup, lookup * 1e6 / count);
    std::printf("write %.3f s\nplain read %.3f s\nload %.3f s (%.2fx plain read)\n", write, plain, load, load / plain);
    if (reload > 0)
        std::printf("best later load %.3f s (%.2fx plain read)\n", reload, reload / plain);
    std::printf("memory per record: %.1f after add, %.1f after load\n", memoryAfterAdd, memoryAfterLoad);
    return 0;
}
