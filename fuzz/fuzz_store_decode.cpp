// Fuzz entry point for the store reader: any input must be refused with a
// RecordTableError or read into a store that writes back, in either form, to
// content that reads as the very same store.
//
// A binary store's checksum would stop almost every mutation at the first check,
// so an input that starts with the binary magic is also tried with its length and
// checksum repaired, which lets the mutations reach the structure reader.

#include "StoreFormat.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::uint32_t bitwiseCrc32(std::string_view data)
{
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char ch : data) {
        c ^= static_cast<unsigned char>(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void putLittleEndian(std::string& s, std::size_t at, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFFu);
}

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

    constexpr std::string_view magic{"\x89QRL\r\n\x1A\n", 8};
    if (size >= 24 && input.substr(0, 8) == magic) {
        std::string repaired(input);
        putLittleEndian(repaired, 12, size, 8);
        putLittleEndian(repaired, size - 4, bitwiseCrc32(std::string_view(repaired).substr(0, size - 4)), 4);
        check(repaired);
    }
    return 0;
}
