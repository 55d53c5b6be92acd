#include "state_directory.h"

#include <cstdlib>
#include <string_view>

std::optional<std::string> state_directory() {
    const char* value = std::getenv("STATE_DIRECTORY");
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::string_view list(value);
    const std::string_view first = list.substr(0, list.find(':'));
    if (first.empty()) {
        return std::nullopt;
    }
    return std::string(first);
}
