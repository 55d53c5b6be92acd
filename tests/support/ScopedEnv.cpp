#include "ScopedEnv.h"

#include <cstdlib>

namespace testsupport {

ScopedEnv::~ScopedEnv() {
    for (const auto& [name, old] : saved_) {
        if (old) {
            ::setenv(name.c_str(), old->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

void ScopedEnv::remember(const std::string& name) {
    if (saved_.count(name) == 0) {
        const char* v = std::getenv(name.c_str());
        saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
    remember(name);
    ::unsetenv(name.c_str());
}

}  // namespace testsupport
