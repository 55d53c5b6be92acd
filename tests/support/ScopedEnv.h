#pragma once

#include <map>
#include <optional>
#include <string>

namespace testsupport {

// Changes to this process's environment that are undone when the object dies: every variable
// it touched gets back the value it had before the first change.
class ScopedEnv {
   public:
    ScopedEnv() = default;
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::string& name, const std::string& value);
    void unset(const std::string& name);

   private:
    void remember(const std::string& name);
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testsupport
