#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class TempDir;

struct RunResult {
    int status = -1;  // exit status; 128 + signal number when killed by a signal
    int signal = 0;   // the signal that killed it; 0 when it exited by itself
    bool timedOut = false;
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// A program running in the background, with standard input empty and its output kept in
// files. One still running when the object dies is killed (SIGKILL) and reaped.
class Child {
   public:
    Child(const std::string& path, const std::vector<std::string>& args,
          const EnvChanges& env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Sends `signo`; false when the program has already been reaped.
    bool signal(int signo) const;
    // Waits for the end, killing the program after `timeoutSeconds`.
    RunResult wait(int timeoutSeconds = 120);
    // What the program has written to standard output so far.
    std::string out() const;

   private:
    std::unique_ptr<TempDir> dir_;
    pid_t pid_ = -1;
};

// Runs a program with the current environment changed by `env`, standard input empty,
// and kills it after `timeoutSeconds`.
RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const EnvChanges& env = {}, int timeoutSeconds = 120);

// Path of a program built by this project (trevane, tokvue).
std::string builtProgram(const std::string& name);

}  // namespace testsupport
