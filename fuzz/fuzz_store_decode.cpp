// Fuzz entry point for the store reader: any input must be refused with a
// RecordTableError or read into a store that writes back, in either form, to
// content that reads as the very same store.
//
// An input that starts with the binary magic is also tried with its length and
// checksum repaired (see fuzz_repair.h). It needs no files, so it runs far faster
// than fuzz_store_open and compares the decoded values exactly, null and empty text
// told apart.

#include "StoreFormat.h"
#include "fuzz_repair.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(std::string_view content)
{
    DecodedStore store;
    try {
        store = decodeStore(content);
    } catch (const RecordTableError&) {
        return;
    }
    std::vector<const Record*> records;
    for (const Record& record : store.records)
        records.push_back(&record);
    for (const StoreForm form : {StoreForm::Binary, StoreForm::Xml}) {
        // Whatever was accepted must be writable and read back unchanged; an
        // exception here is a fault and ends the run.
        const DecodedStore again = decodeStore(encodeStore(form, store.fields, records));
        if (again.fields != store.fields || again.records != store.records)
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check(input);

    if (const auto repaired = fuzzing::repairedBinary(input))
        check(*repaired);
    return 0;
}
