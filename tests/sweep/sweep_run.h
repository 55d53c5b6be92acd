// The fault sweep's runs of trevane: the data put back, a fresh grid and state directory, the
// faults that the preload (tests/support/fault_inject.cpp) puts in, and the servers that a run
// meets: a second session that holds a lock while one statement runs, and a listener that
// answers a connect as a server that refuses it would.
#pragma once

#include <libpq-fe.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Process.h"

namespace sweep {

[[noreturn]] void die(const std::string& why);

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;
Conn connect_to(const std::string& db);
// Runs SQL; the rows of its result, each as its columns joined by a tab. Dies when it fails.
std::vector<std::string> query(PGconn* c, const std::string& sql);

// The data set as text: by table, every row as "key<TAB>row", the key naming what the row
// belongs to ("table height", "product BOSRVSBOX", "event MAZ005:KBOX:FL:W"); the grid files
// that are left are the table "grid files", under the key "table dparadar".
using Rows = std::map<std::string, std::set<std::string>>;
inline const std::string kGridFiles = "grid files";
std::string key_of(const std::string& row);
// The pass whose work removes the rows of `table`.
std::string pass_of_table(const std::string& table);

// One line of the preload's log.
struct Event {
    char type = ' ';  // S statement, F fault, U file removed, E removal failed, M metrics refused
    long k = 0;
    std::string word;  // SQLSTATE of a statement, kind of a fault
    std::string text;  // statement text, or a path
};

struct Run {
    int status = -1;  // exit status; -1 when it did not exit by itself
    int signo = 0;    // the signal that killed it
    bool timed_out = false;
    std::string out;
    std::string err;
    std::vector<Event> log;
    std::map<std::string, double> metrics;  // summed over the series of each name
    bool have_metrics = false;
    std::string metrics_error;  // a malformed line of the metrics file
    std::string metrics_path;
    std::string grid_dir;
    Rows rows;           // what is left of the data set, grid files included
    bool landed = true;  // for the faults that the sweep puts in itself (locks, connects)

    double metric(const char* name) const;
    // The outcome of statement k in the log; empty when it has none.
    std::string outcome_of(long k) const;
};

// How a connect is answered by the sweep's own listener.
enum class Refusal { None, StartingUp, TooManyClients, BadPassword, Silent };

// What a run is given: the preload's settings, and the sweep's own part.
struct Injection {
    std::map<std::string, std::string> env;  // FAULT_* and tokens
    bool lock = false;                       // pause before statement k and lock its table
    bool signal_when_waiting = false;        // then SIGTERM once the statement waits on it
    Refusal refusal = Refusal::None;
};

class Sweeper {
   public:
    Sweeper(std::string trevane, std::string preload, const std::string& data_sql, int timeout);
    ~Sweeper();
    Sweeper(const Sweeper&) = delete;
    Sweeper& operator=(const Sweeper&) = delete;

    // Puts the data set back and runs trevane with `inj`; `again` runs it once more on what the
    // last run left (data, grid and state directory).
    Run run(const Injection& inj, bool again = false);
    const Rows& before() const { return before_; }
    bool reports_standby() const { return reports_standby_; }

   private:
    Rows snapshot();
    bool answer_connect(testsupport::Child& child, Refusal refusal);
    void hold_lock(testsupport::Child& child, bool signal_when_waiting);

    std::string trevane_;
    std::string preload_;
    int timeout_;
    std::string db_;
    std::filesystem::path work_;
    std::string grid_dir_;
    std::vector<std::string> grid_files_;  // of the rows whose maxvald is above 0
    Conn data_{nullptr, &PQfinish};
    Conn locker_{nullptr, &PQfinish};
    int pause_fd_ = -1;
    int server_fd_ = -1;
    bool lock_landed_ = false;
    bool reports_standby_ = false;
    Rows before_;
};

}  // namespace sweep
