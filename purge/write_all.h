// Writing a whole text to a descriptor.
#pragma once

#include <string_view>

// Writes all of `text` to `fd`, again after a write cut short or interrupted by a signal; false
// on any other failure (errno tells which).
bool write_all(int fd, std::string_view text);
