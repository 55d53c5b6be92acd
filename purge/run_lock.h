#pragma once

#include <string>
#include <string_view>

// One run per database per host: an exclusive flock on a file named for the database, taken
// before the connect and held until the process ends (the kernel lets it go whatever ends the
// process). The holder's pid stands in the file, for the run that finds it held.

// The exit status of a run that finds the lock of its database held by another run.
constexpr int kExitLockHeld = 75;

// The lock file of `database`: trevane-NAME.lock, NAME the database with every byte but letters,
// digits, '.', '_' and '-' made '_', in the state directory, else /run/trevane when it is a
// writable directory, else the temporary directory.
std::string run_lock_path(std::string_view database);

class RunLock {
   public:
    enum class Outcome { Held, HeldByAnother, Failed };

    // Takes the lock of `database` without waiting and writes this process's pid into it. When
    // it cannot, prints the one line that says why (another run and its pid, or the error).
    explicit RunLock(std::string_view database);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    Outcome outcome() const { return outcome_; }

   private:
    int fd_ = -1;
    Outcome outcome_ = Outcome::Failed;
};
