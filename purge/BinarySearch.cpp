#include "BinarySearch.h"

#include <cstring>

void* binary_search(const void* base, const void* key, int n, std::size_t size, CompareFn compare) {
    if (base == nullptr || key == nullptr || n < 1 || size == 0 || compare == nullptr) {
        return nullptr;
    }
    int low = 0;
    int high = n - 1;
    while (high >= low) {
        const int mid = low + (high - low) / 2;
        const char* element = static_cast<const char*>(base) + size * static_cast<std::size_t>(mid);
        const int order = compare(key, element);
        if (order == 0) {
            return const_cast<char*>(element);
        }
        if (order > 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    return nullptr;
}

int compare_char(const void* key, const void* element) {
    return std::strcmp(static_cast<const char*>(key), static_cast<const char*>(element));
}
