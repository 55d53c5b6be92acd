// The fault sweep: every fault class wherever it applies in a whole run, on the real trevane and
// a real server, with the run's guarantees checked after each.
//
//   fault_sweep TREVANE PRELOAD DATA_SQL [--kinds=a,b,...] [--timeout=SECONDS] [--shard=I/N]
//
// --shard=I/N runs the part I (0 to N-1) of N, in a database of its own, so that the parts run
// side by side: the statements in N consecutive ranges (a stop at k is measured by the cut runs at
// k and k + 1, so a range keeps them together), the grid files and the connect by their number.
//
// A database made from the harness's template (the schema, see with-test-db.sh) gets the sweep's
// data and a copy of it. Two clean runs give the statements (N), their cursor names, and what
// stays. Every fault class is a row of one table: how its fault is put in, where it applies
// (every statement, every DELETE, every grid file, the connect, a sample), and the outcome it
// must have. The outcome of a failed statement is the one described for its kind of statement:
// the run ends (exit 1), its pass ends and the passes after it run, or only its key is left.
// A run whose connection is cut at statement k is the measure of every stop at k: the database
// and the grid directory must be as it leaves them. The summary names every guarantee that a
// run broke, one line each; the exit status is 1 when there is any.

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sweep_run.h"

using namespace sweep;

namespace {

// What a failure of a statement must do, as the run is described.
enum class Outcome {
    KeyLevel,  // only its key is left alone; exit 0
    PassEnds,  // its pass ends, the passes after it run; exit 0
    RunEnds,   // the run stops; exit 1
};

struct Described {
    std::string pass;
    Outcome outcome = Outcome::KeyLevel;
    std::set<std::string> keys;  // what a key-level failure may cost
};

// What a fault class must lead to.
enum class Expect {
    FromStatement,  // the described outcome of the faulted statement
    SessionLost,    // exit 1, left as a run cut at that statement leaves it
    Stopped,        // exit 128 + SIGTERM, left as a run cut at that statement leaves it
    NotCommitted,   // as Stopped, and the statement under way must not commit
    Recovered,      // killed; a plain run after it leaves what the clean run leaves
    Clean,          // what the clean run does, nothing counted
    FileKept,       // the clean run's outcome but the one grid file, reported with its reason
    Refused,        // the connect fails: nothing touched
};

// Cut: the connection's socket shut just before the statement, the measure of every stop there.
enum class Inject { Statement, Cut, Lock, Unlink, Connect, Metrics };
enum class Where { EveryStatement, Deletes, GridFiles, Once, OutcomeSample };

struct FaultClass {
    std::string name;
    Inject inject;
    Where where;
    Expect expect;
    std::string kind;  // the preload's FAULT_KIND
    int err = 0;       // the errno of an unlink or of the metrics file
    Refusal refusal = Refusal::None;
    std::string lands_as{};                       // Lock: how the statement under way ends
    std::map<std::string, std::string> tokens{};  // set for the run
};

std::vector<FaultClass> fault_classes(bool reports_standby) {
    using I = Inject;
    using W = Where;
    using E = Expect;
    return {
        // The server raises the SQLSTATE in place of the statement.
        {"55P03", I::Statement, W::EveryStatement, E::FromStatement, "55P03"},
        {"42501", I::Statement, W::EveryStatement, E::FromStatement, "42501"},
        {"57014", I::Statement, W::EveryStatement, E::FromStatement, "57014"},
        {"25006", I::Statement, W::EveryStatement,
         reports_standby ? E::FromStatement : E::SessionLost, "25006"},
        {"40P01", I::Statement, W::EveryStatement, E::FromStatement, "40P01"},
        // The session goes, or a stop signal comes just before the statement or while it runs.
        {"cut", I::Cut, W::EveryStatement, E::SessionLost, "cut"},
        {"57P01", I::Statement, W::EveryStatement, E::SessionLost, "57P01"},
        {"sigterm", I::Statement, W::EveryStatement, E::Stopped, "sigterm"},
        {"sigterm-inflight", I::Statement, W::EveryStatement, E::Stopped, "sigterm-inflight"},
        // Killed once the statement's answer is in, then a plain run.
        {"sigkill", I::Statement, W::EveryStatement, E::Recovered, "sigkill"},
        // A second session locks the DELETE's table: SIGTERM while the DELETE waits, or the
        // server's own lock timeout.
        {"cancel", I::Lock, W::Deletes, E::NotCommitted, "pause", 0, Refusal::None, "57014"},
        {"lock-timeout",
         I::Lock,
         W::Deletes,
         E::FromStatement,
         "pause",
         0,
         Refusal::None,
         "55P03",
         {{"trevane_lock_timeout", "100ms"}}},
        // The removal of the i-th grid file fails.
        {"unlink-EACCES", I::Unlink, W::GridFiles, E::FileKept, "", EACCES},
        {"unlink-EROFS", I::Unlink, W::GridFiles, E::FileKept, "", EROFS},
        {"unlink-EIO", I::Unlink, W::GridFiles, E::FileKept, "", EIO},
        {"unlink-EISDIR", I::Unlink, W::GridFiles, E::FileKept, "", EISDIR},
        {"unlink-ENOENT", I::Unlink, W::GridFiles, E::Clean, "", ENOENT},
        // The server refuses the connect, or says nothing until SIGTERM comes.
        {"connect-57P03", I::Connect, W::Once, E::Refused, "", 0, Refusal::StartingUp},
        {"connect-53300", I::Connect, W::Once, E::Refused, "", 0, Refusal::TooManyClients},
        {"connect-28P01", I::Connect, W::Once, E::Refused, "", 0, Refusal::BadPassword},
        {"connect-sigterm", I::Connect, W::Once, E::Refused, "", 0, Refusal::Silent},
        // The metrics file cannot be written, with a failed statement of each outcome.
        {"metrics-ENOSPC", I::Metrics, W::OutcomeSample, E::FromStatement, "55P03", ENOSPC},
        {"metrics-EACCES", I::Metrics, W::OutcomeSample, E::FromStatement, "55P03", EACCES},
    };
}

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The text between `open` and the next `close` after it; empty when there is none.
std::string between(const std::string& text, const char* open, const char* close) {
    const auto from = text.find(open);
    if (from == std::string::npos) {
        return {};
    }
    const auto start = from + std::strlen(open);
    return text.substr(start, text.find_first_of(close, start) - start);
}

std::string word(const std::string& text, std::size_t n) {
    std::istringstream in(text);
    std::string w;
    for (std::size_t i = 0; i <= n && (in >> w); ++i) {
    }
    return w;
}

// Cursor names carry a token of their run after the described name ("tcur1_k3x9f2"): a name
// that differs between two clean runs is such a name, and is compared by its described part.
class CursorNames {
   public:
    CursorNames(const std::vector<std::string>& one, const std::vector<std::string>& two) {
        for (std::size_t i = 0; i < one.size() && i < two.size(); ++i) {
            const std::string a = word(one[i], 1);
            if (word(one[i], 0) == "declare" && a != word(two[i], 1)) {
                described_.insert(a.substr(0, a.rfind('_')));
            }
        }
    }
    // `text` with every run's token taken off its cursor names.
    std::string mask(std::string text) const {
        for (const std::string& name : described_) {
            const std::string marked = name + "_";
            for (auto at = text.find(marked); at != std::string::npos;
                 at = text.find(marked, at + name.size())) {
                auto end = at + marked.size();
                while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) ||
                                             std::isdigit(static_cast<unsigned char>(text[end])))) {
                    ++end;
                }
                text.erase(at + name.size(), end - at - name.size());
            }
        }
        return text;
    }

   private:
    std::set<std::string> described_;
};

// A statement's text with its digits masked: the cutoffs in it follow the clock of each run.
std::string shape(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }, '#');
    return text;
}

// The described outcome of each statement of the clean run (1-based), from its text or, for a
// fetch or close, from its cursor's declare.
std::vector<Described> describe(const std::vector<std::string>& texts) {
    std::set<std::string> station_tables;
    for (const std::string& t : texts) {
        if (const std::string table = between(t, "SELECT DISTINCT lid FROM ", " ");
            !table.empty()) {
            station_tables.insert("table " + table);
        }
    }
    const std::string time = "time-based purge";
    const auto rule = [&](const std::string& t) -> Described {
        if (has(t, "PurgeDynData")) {
            return {time, Outcome::RunEnds, {}};
        }
        if (has(t, "FROM Admin") || has(t, "FROM Location")) {
            return {time, Outcome::KeyLevel, station_tables};  // stations not told apart
        }
        if (has(t, "FROM DPARadar")) {
            return {time, Outcome::KeyLevel, {"table dparadar"}};
        }
        if (const std::string table = between(t, "c.relname = '", "'"); !table.empty()) {
            return {time, Outcome::KeyLevel, {"table " + table}};
        }
        if (const std::string table = between(t, "SELECT DISTINCT lid FROM ", " ");
            !table.empty()) {
            return {time, Outcome::KeyLevel, {"table " + table}};
        }
        if (has(t, "TextProduct") || has(t, "PurgeProduct")) {
            return {"text products", Outcome::PassEnds, {}};
        }
        if (has(t, "VTECevent") && has(t, "geoid='")) {
            return {
                "events",
                Outcome::KeyLevel,
                {"event " + between(t, "geoid='", "'") + ":" + between(t, "office_id = '", "'") +
                 ":" + between(t, "phenom='", "'") + ":" + between(t, "signif='", "'")}};
        }
        if (has(t, "VTECevent")) {
            return {"events", Outcome::PassEnds, {}};
        }
        if (const std::string table = between(t, "DELETE FROM ", " ;"); !table.empty()) {
            return {time, Outcome::KeyLevel, {"table " + table}};
        }
        if (has(t, "insert into PerfLog")) {
            return {"PerfLog", Outcome::KeyLevel, {}};
        }
        die("no described outcome for the statement: " + t);
    };
    std::map<std::string, Described> cursors;
    std::vector<Described> out(1);
    for (const std::string& t : texts) {
        const std::string verb = word(t, 0);
        if (verb == "fetch" || verb == "close") {
            const auto found = cursors.find(word(t, 1));
            if (found == cursors.end()) {
                die("a cursor that was not declared: " + t);
            }
            Described d = found->second;
            if (verb == "close" && d.outcome == Outcome::RunEnds) {
                d = {
                    d.pass, Outcome::KeyLevel, {}};  // the table list read through, the run goes on
            }
            out.push_back(d);
            continue;
        }
        out.push_back(rule(t));
        if (verb == "declare") {
            cursors[word(t, 1)] = out.back();
        }
    }
    return out;
}

// The rows of `want` that `have` lacks, as "table key row".
std::vector<std::string> missing(const Rows& want, const Rows& have) {
    std::vector<std::string> gone;
    for (const auto& [table, rows] : want) {
        const auto found = have.find(table);
        for (const std::string& row : rows) {
            if (found == have.end() || found->second.count(row) == 0) {
                gone.push_back(table + " " + row);
            }
        }
    }
    return gone;
}

// The rows of `rows` that are rows of `to`, by every table of `to`.
Rows restrict_to(const Rows& rows, const Rows& to) {
    Rows out;
    for (const auto& [table, set] : to) {
        out[table];
        const auto found = rows.find(table);
        for (const std::string& row : set) {
            if (found != rows.end() && found->second.count(row) != 0) {
                out[table].insert(row);
            }
        }
    }
    return out;
}

const char* const kFailures = "trevane_last_run_failures";
const char* const kLeftAlone = "trevane_last_run_keys_left_alone";

// What one run must show.
struct Expected {
    int status = 0;
    enum class Scope { Exact, Key, Pass, StopAt } scope = Scope::Exact;
    Rows exact;                         // Exact: what is left
    std::set<std::string> keys;         // Key: what may be left beyond the clean run
    std::string pass;                   // Pass: its rows may be left, but not those gone before k
    long ref = 0;                       // Pass and StopAt: the cut run to compare with
    bool trace = false;                 // the run counts the fault beyond the clean run's figures
    long failures = -1;                 // exactly so many failures, when not -1
    std::vector<std::string> lines;     // texts that standard output holds
    std::vector<std::string> no_lines;  // texts that it does not hold
    long only_lines = 0;  // after "database name = ", so many lines (the reason line aside)
};

class Sweep {
   public:
    Sweep(Sweeper& sweeper, Run clean, std::vector<std::string> texts, CursorNames names)
        : sw_(sweeper),
          clean_(std::move(clean)),
          texts_(std::move(texts)),
          names_(std::move(names)),
          described_(describe(texts_)) {
        clean_.rows = restrict_to(clean_.rows, sw_.before());
        for (const Event& e : clean_.log) {
            removed_files_ += e.type == 'U' ? 1 : 0;
        }
    }

    long statements() const { return static_cast<long>(texts_.size()); }
    const std::string& text(long k) const { return texts_[static_cast<std::size_t>(k - 1)]; }
    const Described& described(long k) const { return described_[static_cast<std::size_t>(k)]; }

    // The positions where a class applies.
    std::vector<long> positions(const FaultClass& fc) const {
        std::vector<long> at;
        switch (fc.where) {
            case Where::EveryStatement:
            case Where::Deletes:
                for (long k = 1; k <= statements(); ++k) {
                    if (fc.where == Where::EveryStatement ||
                        text(k).rfind("DELETE FROM ", 0) == 0) {
                        at.push_back(k);
                    }
                }
                break;
            case Where::GridFiles:
                for (long i = 1; i <= removed_files_; ++i) {
                    at.push_back(i);
                }
                break;
            case Where::Once:
                at.push_back(0);
                break;
            case Where::OutcomeSample:
                for (const Outcome o : {Outcome::KeyLevel, Outcome::PassEnds, Outcome::RunEnds}) {
                    for (long k = 1; k <= statements(); ++k) {
                        if (described(k).outcome == o) {
                            at.push_back(k);
                            break;
                        }
                    }
                }
                break;
        }
        return at;
    }

    Injection injection(const FaultClass& fc, long k) const {
        Injection inj;
        switch (fc.inject) {
            case Inject::Statement:
            case Inject::Cut:
                inj.env = {{"FAULT_AT", std::to_string(k)}, {"FAULT_KIND", fc.kind}};
                break;
            case Inject::Lock:
                inj.env = {{"FAULT_AT", std::to_string(k)}, {"FAULT_KIND", fc.kind}};
                inj.lock = true;
                inj.signal_when_waiting = fc.expect == Expect::NotCommitted;
                break;
            case Inject::Unlink:
                inj.env = {{"FAULT_UNLINK", std::to_string(k) + ":" + std::to_string(fc.err)}};
                break;
            case Inject::Connect:
                inj.refusal = fc.refusal;
                break;
            case Inject::Metrics:
                inj.env = {{"FAULT_AT", std::to_string(k)},
                           {"FAULT_KIND", fc.kind},
                           {"FAULT_METRICS", clean_.metrics_path + ":" + std::to_string(fc.err)}};
                break;
        }
        inj.env.insert(fc.tokens.begin(), fc.tokens.end());
        return inj;
    }

    // Runs the class at k; the guarantees the run broke, one text each.
    std::vector<std::string> run(const FaultClass& fc, long k) {
        Run r = fc.inject == Inject::Cut ? cut_run(k) : sw_.run(injection(fc, k));
        std::vector<std::string> why;
        stream_difference(r, k, why);
        if (fc.expect == Expect::Recovered) {
            if (r.signo != SIGKILL) {
                why.push_back("the fault never landed: the run was not killed");
            }
            r = sw_.run({}, true);
        } else {
            landing(fc, k, r, why);
        }
        const Expected want = expected(fc, k, r);
        if (r.timed_out) {
            why.push_back("did not end within the bound");
            return why;
        }
        common(fc, r, why);
        outcome(fc, k, r, want, why);
        return why;
    }

    // Whether the class at k belongs to part `shard` of `shards`.
    bool in_shard(const FaultClass& fc, long k, long shard, long shards) const {
        if (fc.where == Where::GridFiles || fc.where == Where::Once) {
            return k % shards == shard;
        }
        return (k - 1) * shards / statements() == shard;
    }

    // The clean run's text at k, for a report line.
    std::string where(const FaultClass& fc, long k) const {
        if (fc.where == Where::Once) {
            return "the connect";
        }
        if (fc.where == Where::GridFiles) {
            return "grid file removal " + std::to_string(k);
        }
        return text(k).substr(0, 90);
    }
    std::string pass_at(const FaultClass& fc, long k) const {
        if (fc.where == Where::Once) {
            return "connect";
        }
        return fc.where == Where::GridFiles ? "radar files" : described(k).pass;
    }

   private:
    // The statements of a faulty run up to the fault must be the clean run's, or it is measured
    // against the wrong reference.
    void stream_difference(const Run& r, long k, std::vector<std::string>& why) const {
        for (const Event& e : r.log) {
            if ((e.type != 'S' && e.type != 'F') || e.k < 1 || e.k > k || e.k > statements()) {
                continue;
            }
            if (shape(names_.mask(e.text)) != shape(text(e.k))) {
                why.push_back("statement " + std::to_string(e.k) +
                              " is not the clean run's: " + e.text.substr(0, 90));
                return;
            }
        }
    }

    void landing(const FaultClass& fc, long k, const Run& r, std::vector<std::string>& why) const {
        const auto logged = [&](char type) {
            return std::any_of(r.log.begin(), r.log.end(),
                               [&](const Event& e) { return e.type == type; });
        };
        bool landed = r.landed;
        switch (fc.inject) {
            case Inject::Statement:
            case Inject::Cut:
                landed = logged('F');
                break;
            case Inject::Lock:
                // The timeout may end the wait before the sweep sees it: the server's answer says.
                landed =
                    (fc.expect != Expect::NotCommitted || landed) && r.outcome_of(k) == fc.lands_as;
                break;
            case Inject::Unlink:
                landed = logged('E');
                break;
            case Inject::Metrics:
                landed = logged('F') && logged('M');
                break;
            case Inject::Connect:
                break;
        }
        if (!landed) {
            why.push_back("the fault never landed");
        }
    }

    // The run cut just before statement k, made once whichever class asks first.
    const Run& cut_run(long k) {
        auto found = cuts_.find(k);
        if (found == cuts_.end()) {
            Run r = sw_.run({{{"FAULT_AT", std::to_string(k)}, {"FAULT_KIND", "cut"}}});
            r.rows = restrict_to(r.rows, sw_.before());
            found = cuts_.emplace(k, std::move(r)).first;
        }
        return found->second;
    }

    // What the run cut just before statement k leaves; after the last statement, the clean run.
    const Rows& reference(long k) { return k > statements() ? clean_.rows : cut_run(k).rows; }

    Expected expected(const FaultClass& fc, long k, const Run& r) {
        Expected want;
        const auto stop_at = [&](int status) {
            want.status = status;
            want.scope = Expected::Scope::StopAt;
            // A statement that ran to its end before the stop took effect counts as done.
            want.ref = fc.expect != Expect::NotCommitted && r.outcome_of(k) == "00000" ? k + 1 : k;
        };
        switch (fc.expect) {
            case Expect::FromStatement: {
                const Described& d = described(k);
                if (d.outcome == Outcome::RunEnds) {
                    stop_at(1);
                    break;
                }
                want.status = 0;
                want.trace = fc.inject != Inject::Metrics;
                want.scope =
                    d.outcome == Outcome::KeyLevel ? Expected::Scope::Key : Expected::Scope::Pass;
                want.keys = d.keys;
                want.pass = d.pass;
                want.ref = k;
                break;
            }
            case Expect::SessionLost:
                stop_at(1);
                break;
            case Expect::Stopped:
            case Expect::NotCommitted:
                stop_at(128 + SIGTERM);
                break;
            case Expect::Recovered:
                // A run after one killed within the same second cannot log its PerfLog row: only
                // what it leaves counts.
                want.exact = clean_.rows;
                break;
            case Expect::Clean:
                want.exact = clean_.rows;
                want.failures = static_cast<long>(clean_.metric(kFailures));
                want.no_lines.emplace_back("ERROR - Can't delete file");
                break;
            case Expect::FileKept: {
                want.exact = clean_.rows;
                want.failures = static_cast<long>(clean_.metric(kFailures)) + 1;
                for (const Event& e : r.log) {
                    if (e.type == 'E') {
                        want.exact[kGridFiles].insert("table dparadar\t" +
                                                      e.text.substr(e.text.rfind('/') + 1));
                        want.lines.push_back("ERROR - Can't delete file " + e.text + " \n");
                    }
                }
                want.lines.emplace_back(std::strerror(fc.err));
                break;
            }
            case Expect::Refused:
                want.status = fc.refusal == Refusal::Silent ? 128 + SIGTERM : 1;
                want.exact = sw_.before();
                want.lines.emplace_back(fc.refusal == Refusal::Silent
                                            ? "trevane: SIGTERM received; the run stops\n"
                                            : "attempting to open database\n");
                want.only_lines = 1;
                break;
        }
        if (fc.inject == Inject::Metrics) {
            want.lines.push_back(clean_.metrics_path);
            want.lines.emplace_back(std::strerror(fc.err));
        }
        return want;
    }

    // What every run must hold: no crash, nothing the clean run keeps gone, a grid file exactly
    // where its row is unless the run reported the difference.
    void common(const FaultClass& fc, const Run& r, std::vector<std::string>& why) const {
        if (r.signo != 0) {
            why.push_back("crashed with signal " + std::to_string(r.signo));
        }
        for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
            if (has(r.err, report)) {
                why.push_back(std::string("sanitizer report (") + report + ")");
            }
        }
        if (!r.metrics_error.empty()) {
            why.push_back(r.metrics_error);
        }
        for (const std::string& row : missing(clean_.rows, r.rows)) {
            why.push_back("gone, though the clean run keeps it: " + row);
        }
        const bool counted = r.metric(kFailures) > clean_.metric(kFailures) ||
                             r.metric(kLeftAlone) > clean_.metric(kLeftAlone);
        for (const std::string& grid : sw_.before().at("grid rows")) {
            const std::string name = grid.substr(grid.find('\t') + 1);
            const bool row = r.rows.at("grid rows").count(grid) != 0;
            const bool file = r.rows.at(kGridFiles).count(grid) != 0;
            if (row && !file) {
                why.push_back("grid file " + name + " is gone, its row stays");
            } else if (!row && file &&
                       !(counted &&
                         has(r.out, ("ERROR - Can't delete file " + r.grid_dir + "/" + name + " ")
                                        .c_str()))) {
                why.push_back("grid file " + name + " stays, its row is gone, and the run says " +
                              "nothing of it");
            }
        }
        if (fc.inject != Inject::Metrics && !r.have_metrics) {
            why.push_back("no metrics file");
        }
    }

    void outcome(const FaultClass& fc, long k, const Run& r, const Expected& want,
                 std::vector<std::string>& why) {
        if (r.status != want.status) {
            why.push_back("exit status " + std::to_string(r.status) + ", not " +
                          std::to_string(want.status));
        }
        if (r.have_metrics && r.metric("trevane_last_run_exit_status") != want.status) {
            why.push_back(
                "metrics exit status " +
                std::to_string(static_cast<int>(r.metric("trevane_last_run_exit_status"))) +
                ", not " + std::to_string(want.status));
        }
        if (fc.inject == Inject::Metrics && r.have_metrics) {
            why.push_back("a metrics file was written, though it could not be");
        }
        for (const std::string& line : want.lines) {
            if (!has(r.out, line.c_str())) {
                why.push_back("no line with: " + line.substr(0, line.find('\n')));
            }
        }
        for (const std::string& line : want.no_lines) {
            if (has(r.out, line.c_str())) {
                why.push_back("a line with: " + line);
            }
        }
        if (want.only_lines > 0) {
            std::istringstream out(
                r.out.substr(std::min(r.out.find("database name = "), r.out.size())));
            long count = -1;  // the database name's own line
            for (std::string line; std::getline(out, line);) {
                count += line.rfind("The client library says: ", 0) == 0 ? 0 : 1;
            }
            if (count != want.only_lines) {
                why.push_back("it says so in " + std::to_string(count) + " lines, not " +
                              std::to_string(want.only_lines));
            }
        }
        if (want.failures >= 0 && r.metric(kFailures) != static_cast<double>(want.failures)) {
            why.push_back("failures " + std::to_string(static_cast<long>(r.metric(kFailures))) +
                          ", not " + std::to_string(want.failures));
        }
        if (want.trace && r.metric(kFailures) <= clean_.metric(kFailures) &&
            r.metric(kLeftAlone) <= clean_.metric(kLeftAlone)) {
            why.push_back("the fault left no trace: no failure, no key left alone counted");
        }
        const Rows have = restrict_to(r.rows, sw_.before());
        switch (want.scope) {
            case Expected::Scope::Exact:
                for (const std::string& row : missing(want.exact, have)) {
                    why.push_back("gone: " + row);
                }
                for (const std::string& row : missing(have, want.exact)) {
                    why.push_back("left: " + row);
                }
                break;
            case Expected::Scope::Key:
            case Expected::Scope::Pass: {
                // What the clean run removes must go, but the fault's own key, or the rest of its
                // pass that a run cut at the fault leaves.
                const Rows* left_at_fault =
                    want.scope == Expected::Scope::Pass ? &reference(k) : nullptr;
                for (const auto& [table, rows] : sw_.before()) {
                    for (const std::string& row : rows) {
                        if (have.at(table).count(row) == 0 ||
                            clean_.rows.at(table).count(row) != 0) {
                            continue;
                        }
                        const bool excused =
                            left_at_fault == nullptr
                                ? want.keys.count(key_of(row)) != 0
                                : left_at_fault->at(table).count(row) != 0 &&
                                      pass_of_table(table == kGridFiles || table == "grid rows"
                                                        ? "dparadar"
                                                        : table) == want.pass;
                        if (!excused) {
                            why.push_back("left though the fault does not cost it: " + table + " " +
                                          row);
                        }
                    }
                }
                break;
            }
            case Expected::Scope::StopAt: {
                if (fc.inject == Inject::Cut && want.ref == k) {
                    break;  // it is the measure
                }
                const Rows& ref = reference(want.ref);
                for (const std::string& row : missing(ref, have)) {
                    why.push_back("a statement after the stop took effect: gone " + row);
                }
                for (const std::string& row : missing(have, ref)) {
                    why.push_back("left, though a run cut at statement " +
                                  std::to_string(want.ref) + " removes it: " + row);
                }
                after_stop(fc, k, r, why);
                break;
            }
        }
    }

    // Nothing reaches the server after a stop; a SIGTERM before the send stops the statement.
    static void after_stop(const FaultClass& fc, long k, const Run& r,
                           std::vector<std::string>& why) {
        bool stopped = false;
        for (const Event& e : r.log) {
            if (e.type == 'F') {
                stopped = true;
                if (e.word == "sigterm" && r.outcome_of(k) == "00000") {
                    why.push_back("the statement after the stop ran to its end");
                }
            } else if (stopped && e.type == 'S' && e.k > k) {
                why.push_back("statement " + std::to_string(e.k) +
                              " reached the server after the stop: " + e.text.substr(0, 90));
            }
        }
        if (fc.expect == Expect::NotCommitted && r.outcome_of(k) == "00000") {
            why.push_back("the statement under way committed");
        }
    }

    Sweeper& sw_;
    Run clean_;
    std::vector<std::string> texts_;  // the clean run's statements, cursor names masked
    CursorNames names_;
    std::vector<Described> described_;
    std::map<long, Run> cuts_;  // the runs cut at k
    long removed_files_ = 0;
};

std::vector<std::string> statement_texts(const Run& r) {
    std::vector<std::string> texts;
    for (const Event& e : r.log) {
        if (e.type == 'S') {
            texts.push_back(e.text);
        }
    }
    return texts;
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        die("usage: fault_sweep TREVANE PRELOAD DATA_SQL [--kinds=a,b] [--timeout=S] "
            "[--shard=I/N]");
    }
    std::string kinds_wanted;
    int timeout = 30;
    long shard = 0;
    long shards = 1;
    for (int i = 4; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--kinds=", 0) == 0) {
            kinds_wanted = "," + a.substr(8) + ",";
        } else if (a.rfind("--timeout=", 0) == 0) {
            timeout = std::stoi(a.substr(10));
        } else if (a.rfind("--shard=", 0) == 0 &&
                   std::sscanf(a.c_str() + 8, "%ld/%ld", &shard, &shards) == 2 && shards > 0 &&
                   shard >= 0 && shard < shards) {
            continue;
        } else {
            die("unknown argument " + a);
        }
    }
    const std::string trevane = std::filesystem::absolute(argv[1]).string();
    // An instrumented trevane: its sanitizers report on standard error.
    const bool sanitized = has(read_file(trevane.c_str()), "__asan_init");
    const auto started = std::chrono::steady_clock::now();
    Sweeper sw(trevane, std::filesystem::absolute(argv[2]).string(), read_file(argv[3]), timeout);

    std::vector<FaultClass> classes = fault_classes(sw.reports_standby());
    if (!kinds_wanted.empty()) {
        std::erase_if(classes, [&](const FaultClass& fc) {
            return kinds_wanted.find("," + fc.name + ",") == std::string::npos;
        });
    }
    const Run clean = sw.run({});
    const Run again = sw.run({});
    const std::vector<std::string> raw = statement_texts(clean);
    if (clean.status != 0 || raw.empty() || again.status != 0 ||
        statement_texts(again).size() != raw.size()) {
        die("the clean run failed, or two clean runs differ (exit " + std::to_string(clean.status) +
            "):\n" + clean.out + clean.err);
    }
    const CursorNames names(raw, statement_texts(again));
    std::vector<std::string> texts;
    for (const std::string& t : raw) {
        texts.push_back(names.mask(t));
    }
    Sweep sweep(sw, clean, texts, names);

    std::vector<std::string> lines;
    std::map<std::string, std::map<std::string, int>> failed_runs;  // by class, then pass
    std::vector<std::string> per_class;
    long runs = 0;
    for (const FaultClass& fc : classes) {
        const auto class_started = std::chrono::steady_clock::now();
        std::vector<long> at = sweep.positions(fc);
        std::erase_if(at, [&](long k) { return !sweep.in_shard(fc, k, shard, shards); });
        for (const long k : at) {
            const std::vector<std::string> why = sweep.run(fc, k);
            ++runs;
            if (why.empty()) {
                continue;
            }
            ++failed_runs[fc.name][sweep.pass_at(fc, k)];
            for (const std::string& w : why) {
                lines.push_back(fc.name + " k=" + std::to_string(k) + " (" + sweep.pass_at(fc, k) +
                                ") [" + sweep.where(fc, k) + "]: " + w);
            }
        }
        char line[160];
        std::snprintf(
            line, sizeof line, "%-17s %4zu runs %6.1f s", fc.name.c_str(), at.size(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - class_started)
                .count());
        per_class.emplace_back(line);
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "fault sweep: N = %ld statements, %zu classes, %ld runs, %.0f s%s%s\n", sweep.statements(),
        classes.size(), runs, seconds, sanitized ? ", sanitized trevane" : "",
        shards > 1
            ? (", part " + std::to_string(shard + 1) + " of " + std::to_string(shards)).c_str()
            : "");
    for (const std::string& line : per_class) {
        std::printf("  %s\n", line.c_str());
    }
    for (const std::string& line : lines) {
        std::printf("BROKEN %s\n", line.c_str());
    }
    int total = 0;
    for (const auto& [kind, by_pass] : failed_runs) {
        for (const auto& [pass, count] : by_pass) {
            std::printf("runs that broke a guarantee: %-17s %-16s %d\n", kind.c_str(), pass.c_str(),
                        count);
            total += count;
        }
    }
    std::printf("runs that broke a guarantee: %d of %ld\n", total, runs);
    return total == 0 ? 0 : 1;
}
