// ParseUnique splits any value text of a distinct-value record at its "|" separators: as many
// fields as separators plus one, which joined with "|" give the text back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LoadUnique.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto* record = static_cast<DistinctValue*>(std::calloc(1, sizeof(DistinctValue)));
    if (record == nullptr)
        return 0;
    const std::size_t n = size < sizeof record->text - 1 ? size : sizeof record->text - 1;
    std::memcpy(record->text, data, n);
    const std::string text(record->text);

    int count = -1;
    char** fields = ParseUnique(record, &count);
    if (fields == nullptr)
        std::abort();
    std::size_t separators = 0;
    for (const char c : text) separators += c == '|' ? 1 : 0;
    if (count != static_cast<int>(separators) + 1 || fields[count] != nullptr)
        std::abort();
    std::string joined;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            joined += '|';
        joined += fields[i];
    }
    if (joined != text)
        std::abort();
    FreeParseUnique(fields);
    std::free(record);
    return 0;
}
