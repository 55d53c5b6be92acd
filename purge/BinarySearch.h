#pragma once

#include <cstddef>

// Comparison of a search key with an array element, strcmp-like.
using CompareFn = int (*)(const void* key, const void* element);

// Finds an element equal to `key` in `base`, an array of `n` elements of `size` bytes sorted
// as `compare` orders them; none when absent or when an argument is missing.
void* binary_search(const void* base, const void* key, int n, std::size_t size, CompareFn compare);

// strcmp of the key text and the element text.
int compare_char(const void* key, const void* element);
