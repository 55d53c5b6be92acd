// The fault sweep: every fault class at every statement of a whole run, on the real trevane and a
// real server, with the run's guarantees checked after each.
//
//   fault_sweep TREVANE PRELOAD DATA_SQL [--kinds=a,b,...] [--timeout=SECONDS]
//
// A database made from the harness's template (the schema, see with-test-db.sh) gets the sweep's
// data and a copy of it. One clean run counts the statements (N) and records what stays. Then for
// every fault class and every k in 1..N the data is put back from the copy (a few milliseconds,
// where a new database from a template takes most of a second), a fresh grid directory is laid
// out, and trevane runs with the fault at statement k (tests/support/fault_inject.cpp). A run
// whose connection is cut at statement k is the measure of every other stop at k: what it keeps,
// they keep, so a statement that the server ran after a stop shows even when the client never
// saw its answer. The summary names every guarantee that a run broke, one line each; the exit
// status is 1 when there is any.

#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"

namespace fs = std::filesystem;

namespace {

// How a fault class ends the run when it takes effect.
enum class Stop { None, Session, Signal };

struct Kind {
    std::string name;
    Stop stop;
};

// One line of the preload's log.
struct Event {
    char type = ' ';  // S statement, F fault, U file removed
    long k = 0;
    std::string word;  // SQLSTATE of a statement, kind of a fault
    std::string text;  // statement text, or the path of a removed file
};

// Rows of every table of the data set, as text, by table.
using Rows = std::map<std::string, std::set<std::string>>;

struct Run {
    int status = -1;  // exit status; -1 when it did not exit by itself
    int signo = 0;    // the signal that killed it
    bool timed_out = false;
    std::string out;
    std::string err;
    std::vector<Event> log;
    std::map<std::string, double> metrics;  // summed over the series of each name
    bool have_metrics = false;
    Rows rows;
    std::set<std::string> files;  // grid files left
};

// What the sweep made, removed when it ends, also when it fails.
struct Made {
    std::string db;
    std::filesystem::path work;
    ~Made();
};
Made made;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "fault_sweep: %s\n", why.c_str());
    std::exit(2);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

Conn connect_to(const std::string& db) {
    const char* keys[] = {"dbname", nullptr};
    const char* values[] = {db.c_str(), nullptr};
    Conn c(PQconnectdbParams(keys, values, 1), &PQfinish);
    if (PQstatus(c.get()) != CONNECTION_OK) {
        die("cannot connect to " + db + ": " + PQerrorMessage(c.get()));
    }
    return c;
}

// Runs SQL; the rows of its result, each as its columns joined by a tab.
std::vector<std::string> query(PGconn* c, const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c, sql.c_str()), &PQclear);
    const ExecStatusType st = PQresultStatus(r.get());
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        die(sql.substr(0, 80) + ": " + PQerrorMessage(c));
    }
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        std::string row;
        for (int j = 0; j < PQnfields(r.get()); ++j) {
            row += (j > 0 ? "\t" : "") + std::string(PQgetvalue(r.get(), i, j));
        }
        rows.push_back(row);
    }
    return rows;
}

Made::~Made() {
    if (!work.empty()) {
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }
    if (!db.empty()) {
        const char* keys[] = {"dbname", nullptr};
        const char* values[] = {"postgres", nullptr};
        PGconn* c = PQconnectdbParams(keys, values, 0);
        // WITH (FORCE) ends a session still open after a failure (PostgreSQL 13 and later).
        PGresult* r = PQexec(c, ("DROP DATABASE IF EXISTS " + db + " WITH (FORCE)").c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            PQclear(PQexec(c, ("DROP DATABASE IF EXISTS " + db).c_str()));
        }
        PQclear(r);
        PQfinish(c);
    }
}

const char* const kTables[] = {"admin",        "location", "purgedyndata", "height",
                               "dailysummary", "dparadar", "perflog",      "purgeproduct",
                               "textproduct",  "vtecevent"};

Rows snapshot(PGconn* c) {
    std::string sql;
    for (const char* t : kTables) {
        sql += std::string(sql.empty() ? "" : " UNION ALL ") + "SELECT '" + t + "', t::text FROM " +
               t + " t";
    }
    Rows rows;
    for (const char* t : kTables) rows[t];
    for (const std::string& row : query(c, sql)) {
        const auto tab = row.find('\t');
        rows[row.substr(0, tab)].insert(row.substr(tab + 1));
    }
    return rows;
}

std::vector<Event> read_log(const fs::path& path) {
    std::vector<Event> events;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        Event e;
        std::istringstream fields(line);
        fields >> e.type;
        if (e.type != 'U') {
            fields >> e.k >> e.word;
        }
        fields.get();
        std::getline(fields, e.text);
        events.push_back(e);
    }
    return events;
}

std::map<std::string, double> read_metrics(const std::string& text) {
    std::map<std::string, double> sums;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            continue;
        }
        const std::string series = line.substr(0, space);
        sums[series.substr(0, series.find('{'))] += std::stod(line.substr(space + 1));
    }
    return sums;
}

// Everything a child needs to run trevane with the fault.
struct Setup {
    std::string trevane;
    std::string preload;
    std::string db;
    fs::path work;
    std::vector<std::string> grid_files;
    int timeout = 30;
};

// Statements that put the data back as the template had it, in one transaction: every table
// emptied (a new file each, so rows come back in the same physical order) and refilled from its
// copy in the schema sweep_keep.
std::string restore_statements() {
    std::string tables;
    for (const char* t : kTables) {
        tables += (tables.empty() ? "" : ", ") + std::string(t);
    }
    std::string sql = "BEGIN; TRUNCATE " + tables + "; ";
    for (const char* t : kTables) {
        sql += std::string("INSERT INTO ") + t + " SELECT * FROM sweep_keep.k_" + t + "; ";
    }
    return sql + "COMMIT;";
}

Run run_trevane(const Setup& s, PGconn* data, const Kind* kind, long k) {
    query(data, restore_statements());
    const fs::path dir = s.work / "run";
    fs::remove_all(dir);
    fs::create_directories(dir / "grid");
    for (const std::string& f : s.grid_files) {
        std::ofstream(dir / "grid" / f) << "grid\n";
    }

    const char* asan = std::getenv("ASAN_OPTIONS");
    testsupport::EnvChanges env{
        {"db_name", s.db},
        {"dpa_grid_dir", (dir / "grid").string()},
        {"trevane_backup_retention_use", "ON"},
        {"trevane_metrics_file", (dir / "run.prom").string()},
        {"FAULT_LOG", (dir / "log").string()},
        {"LD_PRELOAD", s.preload},
        // The preload comes before the sanitizer runtime of an instrumented build.
        {"ASAN_OPTIONS",
         (asan != nullptr ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0"},
    };
    if (kind != nullptr) {
        env["FAULT_AT"] = std::to_string(k);
        env["FAULT_KIND"] = kind->name;
    }
    for (const char* key :
         {"APPS_DEFAULTS", "APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
          "PG_DBPATH", "trevane_preview", "trevane_lock_timeout", "trevane_statement_timeout"}) {
        env[key] = std::nullopt;
    }
    const testsupport::RunResult done = testsupport::runProgram(s.trevane, {}, env, s.timeout);

    Run r;
    r.timed_out = done.timedOut;
    r.status = done.signal == 0 ? done.status : -1;
    r.signo = done.signal;
    r.out = done.out;
    r.err = done.err;
    r.log = read_log(dir / "log");
    r.have_metrics = fs::exists(dir / "run.prom");
    r.metrics = read_metrics(read_file(dir / "run.prom"));
    r.rows = snapshot(data);
    for (const auto& entry : fs::directory_iterator(dir / "grid")) {
        r.files.insert(entry.path().filename().string());
    }
    return r;
}

// The pass a statement of the clean run belongs to, from its text and the statements before it.
std::vector<std::string> passes_of(const std::vector<Event>& log) {
    std::vector<std::string> passes(1, "");
    std::string pass = "time-based purge";
    for (const Event& e : log) {
        if (e.type != 'S') {
            continue;
        }
        const std::string& t = e.text;
        const auto has = [&](const char* word) { return t.find(word) != std::string::npos; };
        if (has("insert into PerfLog")) {
            pass = "PerfLog";
        } else if (has("VTECevent")) {
            pass = "events";
        } else if (has("TextProduct") || has("PurgeProduct")) {
            pass = "text products";
        } else if (has("DPARadar") || has("dparadar")) {
            pass = "radar files";
        } else if (t.rfind("fetch tcur1", 0) != 0 && t.rfind("close tcur1", 0) != 0 &&
                   t.rfind("fetch selectcur", 0) != 0 && t.rfind("close selectcur", 0) != 0 &&
                   t.rfind("close tp", 0) != 0 && t.rfind("fetch tp", 0) != 0 &&
                   t.rfind("fetch pp", 0) != 0 && t.rfind("close pp", 0) != 0) {
            pass = "time-based purge";
        }
        passes.push_back(pass);
    }
    return passes;
}

// The rows of `want` that `have` lacks, as "table row".
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

// A statement's text with its digits masked: the cutoffs in it follow the clock of each run.
std::string shape(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= '0' && c <= '9') {
            c = '#';
        }
    }
    return out;
}

// Where a faulty run's statements up to the fault differ from the clean run's, one text; empty
// when they match. A run that numbers its statements differently is measured against the wrong
// reference, so this comes first.
std::string stream_difference(const Run& r, long k, const std::vector<Event>& clean) {
    for (const Event& e : r.log) {
        if (e.type == 'U' || e.k < 1 || e.k > k) {
            continue;
        }
        const Event& c = clean[static_cast<std::size_t>(e.k - 1)];
        if (shape(e.text) != shape(c.text)) {
            return "statement " + std::to_string(e.k) +
                   " is not the clean run's: " + e.text.substr(0, 90);
        }
    }
    return {};
}

// The guarantees a faulty run broke, one text each. `stopped_at` holds, when there is one, what a
// run whose connection was cut just before the stop's first statement not to run keeps: a stop
// keeps at least that much, or a statement after it took effect on the server.
std::vector<std::string> broken(const Run& r, const Kind& kind, long k, const Rows& kept,
                                const std::set<std::string>& grid_files, const Rows* stopped_at) {
    std::vector<std::string> why;
    if (r.timed_out) {
        why.push_back("did not end within the bound");
        return why;
    }
    if (r.signo != 0) {
        why.push_back("crashed with signal " + std::to_string(r.signo));
    }
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
        if (r.err.find(report) != std::string::npos) {
            why.push_back(std::string("sanitizer report (") + report + ")");
        }
    }
    for (const std::string& row : missing(kept, r.rows)) {
        why.push_back("a row the clean run keeps is gone: " + row);
    }
    for (const std::string& row : r.rows.at("dparadar")) {
        for (const std::string& f : grid_files) {
            if (row.find("," + f + ")") != std::string::npos && r.files.count(f) == 0) {
                why.push_back("grid file " + f + " is gone, its row stays");
            }
        }
    }
    std::size_t fault_at = r.log.size();
    for (std::size_t i = 0; i < r.log.size(); ++i) {
        if (r.log[i].type == 'F') {
            fault_at = i;
        }
    }
    if (fault_at == r.log.size()) {
        return why;  // the run ended before statement k: no fault took effect
    }
    const auto metric = [&](const char* name) {
        const auto found = r.metrics.find(name);
        return found == r.metrics.end() ? 0.0 : found->second;
    };
    if (r.status == 0 && metric("trevane_last_run_failures") <= 0 &&
        metric("trevane_last_run_keys_left_alone") <= 0) {
        why.push_back("the fault left no trace: exit 0, no failure, no key left alone");
    }
    if (kind.stop == Stop::None) {
        return why;
    }
    for (std::size_t i = fault_at + 1; i < r.log.size(); ++i) {
        const Event& e = r.log[i];
        if (e.type == 'S' && e.k > k) {
            why.push_back("statement " + std::to_string(e.k) +
                          " reached the server after the stop: " + e.text);
        } else if (e.type == 'S' && r.log[fault_at].word == "sigterm" && e.word == "00000") {
            why.push_back("the statement after the stop ran to its end");
        } else if (e.type == 'U') {
            why.push_back("file removed after the stop: " + fs::path(e.text).filename().string());
        }
    }
    if (stopped_at != nullptr) {
        for (const std::string& row : missing(*stopped_at, r.rows)) {
            why.push_back("a statement after the stop took effect: " + row + " is gone");
        }
    }
    const int expected = kind.stop == Stop::Signal ? 128 + SIGTERM : 1;
    if (r.status != expected) {
        why.push_back("exit status " + std::to_string(r.status) + ", not " +
                      std::to_string(expected));
    }
    if (!r.have_metrics) {
        why.push_back("no metrics file");
    } else if (metric("trevane_last_run_exit_status") != expected) {
        why.push_back("metrics exit status " +
                      std::to_string(static_cast<int>(metric("trevane_last_run_exit_status"))) +
                      ", not " + std::to_string(expected));
    }
    return why;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        die("usage: fault_sweep TREVANE PRELOAD DATA_SQL [--kinds=a,b] [--timeout=S]");
    }
    Setup s;
    s.trevane = fs::absolute(argv[1]).string();
    s.preload = fs::absolute(argv[2]).string();
    const std::string data = read_file(argv[3]);
    std::string kinds_wanted;
    for (int i = 4; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--kinds=", 0) == 0) {
            kinds_wanted = "," + a.substr(8) + ",";
        } else if (a.rfind("--timeout=", 0) == 0) {
            s.timeout = std::stoi(a.substr(10));
        } else {
            die("unknown argument " + a);
        }
    }
    const char* base = std::getenv("TREVANE_TEST_TEMPLATE");
    if (base == nullptr || data.empty()) {
        die("no test server or no data: run under scripts/with-test-db.sh");
    }
    // An instrumented trevane: its sanitizers report on standard error.
    const bool sanitized = read_file(s.trevane).find("__asan_init") != std::string::npos;

    const auto started = std::chrono::steady_clock::now();
    s.db = "fault_sweep_" + std::to_string(getpid());
    s.work = fs::temp_directory_path() / ("fault_sweep." + std::to_string(getpid()));
    made.work = s.work;
    fs::create_directories(s.work);
    {
        const Conn admin = connect_to("postgres");
        query(admin.get(), "CREATE DATABASE " + s.db + " TEMPLATE " + base);
        made.db = s.db;
    }
    // 25006 stops the run where the server does not say whether it is a standby.
    Conn data_conn = connect_to(s.db);
    const bool reports_standby = PQparameterStatus(data_conn.get(), "in_hot_standby") != nullptr;
    PGconn* const db = data_conn.get();
    query(db, data);
    // The statements of every run come in the clean run's order only while the planner's
    // estimates stay as they are: the event pass's combinations come from a hash whose order
    // follows them. No analyze may land between two runs.
    for (const char* t : kTables) {
        query(db, std::string("ALTER TABLE ") + t + " SET (autovacuum_enabled = off)");
    }
    query(db, "CREATE SCHEMA sweep_keep");
    for (const char* t : kTables) {
        query(db, std::string("CREATE TABLE sweep_keep.k_") + t + " AS SELECT * FROM " + t);
    }
    s.grid_files = query(db, "SELECT grid_filename FROM dparadar ORDER BY 1");
    std::vector<Kind> kinds{{"55P03", Stop::None},
                            {"42501", Stop::None},
                            {"57014", Stop::None},
                            {"25006", reports_standby ? Stop::None : Stop::Session},
                            {"40P01", Stop::None},
                            {"cut", Stop::Session},
                            {"57P01", Stop::Session},
                            {"sigterm", Stop::Signal},
                            {"sigterm-inflight", Stop::Signal}};
    if (!kinds_wanted.empty()) {
        std::erase_if(kinds, [&](const Kind& kd) {
            return kinds_wanted.find("," + kd.name + ",") == std::string::npos;
        });
    }

    const Rows before = snapshot(db);
    const Run clean = run_trevane(s, db, nullptr, 0);
    std::vector<Event> statements;
    for (const Event& e : clean.log) {
        if (e.type == 'S') {
            statements.push_back(e);
        }
    }
    const long n = static_cast<long>(statements.size());
    if (clean.status != 0 || n == 0) {
        die("the clean run failed (exit " + std::to_string(clean.status) + "):\n" + clean.out +
            clean.err);
    }
    // What the clean run keeps of the data: its new PerfLog row is not part of it.
    Rows kept;
    for (const auto& [table, rows] : before) {
        for (const std::string& row : rows) {
            if (clean.rows.at(table).count(row) != 0) {
                kept[table].insert(row);
            }
        }
    }
    const std::vector<std::string> passes = passes_of(clean.log);
    const std::set<std::string> grid(s.grid_files.begin(), s.grid_files.end());

    std::vector<std::string> lines;
    std::map<std::string, std::map<std::string, int>> failed_runs;  // by kind, then pass
    // What the runs cut off at statement k keep of the data (the rows they added aside), and
    // after the last statement what the clean run keeps: the measure of every other stop.
    std::map<long, Rows> cut_keeps{{n + 1, kept}};
    long runs = 0;
    for (const Kind& kind : kinds) {
        for (long k = 1; k <= n; ++k) {
            const Run r = run_trevane(s, db, &kind, k);
            ++runs;
            if (kind.name == "cut") {
                for (const auto& [table, rows] : before) {
                    for (const std::string& row : rows) {
                        if (r.rows.at(table).count(row) != 0) {
                            cut_keeps[k][table].insert(row);
                        }
                    }
                }
            }
            // A statement in flight when the signal comes may end before the cancel reaches it,
            // and so may one that the program sent with the signal held.
            const bool may_end = kind.name == "sigterm-inflight" ||
                                 std::any_of(r.log.begin(), r.log.end(), [](const Event& e) {
                                     return e.type == 'F' && e.word == "sigterm-held";
                                 });
            const auto stop_ref = cut_keeps.find(may_end ? k + 1 : k);
            const Rows* stopped_at =
                kind.stop != Stop::None && kind.name != "cut" && stop_ref != cut_keeps.end()
                    ? &stop_ref->second
                    : nullptr;
            std::vector<std::string> why = broken(r, kind, k, kept, grid, stopped_at);
            if (const std::string differs = stream_difference(r, k, statements); !differs.empty()) {
                why.insert(why.begin(), differs);
            }
            if (why.empty()) {
                continue;
            }
            ++failed_runs[kind.name][passes[k]];
            for (const std::string& w : why) {
                lines.push_back(kind.name + " k=" + std::to_string(k) + " (" + passes[k] + ") [" +
                                statements[k - 1].text.substr(0, 90) + "]: " + w);
            }
        }
    }
    data_conn.reset();

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "fault sweep: N = %ld statements, %zu classes, %ld runs (%ld per class), %.0f s%s\n", n,
        kinds.size(), runs, n, seconds, sanitized ? ", sanitized trevane" : "");
    for (const std::string& line : lines) {
        std::printf("BROKEN %s\n", line.c_str());
    }
    int total = 0;
    for (const auto& [kind, by_pass] : failed_runs) {
        for (const auto& [pass, count] : by_pass) {
            std::printf("runs that broke a guarantee: %-16s %-16s %d\n", kind.c_str(), pass.c_str(),
                        count);
            total += count;
        }
    }
    std::printf("runs that broke a guarantee: %d of %ld\n", total, runs);
    return total == 0 ? 0 : 1;
}
