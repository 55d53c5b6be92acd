#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    bool timedOut = false;
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Runs a program with the current environment changed by `env`, standard input empty,
// and kills it after `timeoutSeconds`.
RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const EnvChanges& env = {}, int timeoutSeconds = 120);

// Path of a program built by this project (trevane, tokvue).
std::string builtProgram(const std::string& name);

}  // namespace testsupport
