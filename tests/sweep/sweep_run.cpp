#include "sweep_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace sweep {

namespace {

// What the sweep made, removed when it ends, also when it fails.
struct Made {
    std::string db;
    fs::path work;
    ~Made() {
        if (!work.empty()) {
            std::error_code ignored;
            fs::remove_all(work, ignored);
        }
        if (db.empty()) {
            return;
        }
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
};
Made made;

// The tables of the data set, with what each row belongs to.
struct Table {
    const char* name;
    const char* key;  // SQL
};
const Table kTables[] = {
    {"admin", "'table admin'"},
    {"location", "'table location'"},
    {"purgedyndata", "'table purgedyndata'"},
    {"height", "'table height'"},
    {"dailysummary", "'table dailysummary'"},
    {"dparadar", "'table dparadar'"},
    {"perflog", "'table perflog'"},
    {"purgeproduct", "'table purgeproduct'"},
    {"textproduct", "'product ' || product_id"},
    {"vtecevent", "concat('event ', geoid, ':', office_id, ':', phenom, ':', signif)"},
};
// The grid file names of the radar rows that have one, as a table of their own: a row and its
// file are compared by this name.
const std::string kGridRows = "grid rows";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<Event> read_log(const fs::path& path) {
    std::vector<Event> events;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        Event e;
        std::istringstream fields(line);
        fields >> e.type;
        if (e.type == 'S' || e.type == 'F') {
            fields >> e.k >> e.word;
        }
        fields.get();
        std::getline(fields, e.text);
        events.push_back(e);
    }
    return events;
}

// Sums the samples of every family; the first malformed line is kept in `error`.
std::map<std::string, double> read_metrics(const std::string& text, std::string& error) {
    std::map<std::string, double> sums;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto space = line.rfind(' ');
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        if (value.empty() || end != value.c_str() + value.size()) {
            if (error.empty()) {
                error = "malformed metrics line: " + line;
            }
            continue;
        }
        const std::string series = line.substr(0, space);
        sums[series.substr(0, series.find('{'))] += number;
    }
    return sums;
}

// Statements that put the data back as the template had it, in one transaction: every table
// emptied (a new file each, so rows come back in the same physical order) and refilled from its
// copy in the schema sweep_keep.
std::string restore_statements() {
    std::string tables;
    for (const Table& t : kTables) {
        tables += (tables.empty() ? "" : ", ") + std::string(t.name);
    }
    std::string sql = "BEGIN; TRUNCATE " + tables + "; ";
    for (const Table& t : kTables) {
        sql +=
            std::string("INSERT INTO ") + t.name + " SELECT * FROM sweep_keep.k_" + t.name + "; ";
    }
    return sql + "COMMIT;";
}

int listen_unix(const fs::path& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof addr.sun_path) {
        die("socket path too long: " + path.string());
    }
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 4) != 0) {
        die("cannot listen on " + path.string());
    }
    return fd;
}

// Waits for `fd` to be readable; false after `seconds`.
bool readable(int fd, int seconds) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, seconds * 1000) == 1;
}

int accept_within(int listener, int seconds) {
    return readable(listener, seconds) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

// One line from `fd`, without its newline; empty when none comes.
std::string read_line(int fd, int seconds) {
    std::string line;
    char c = 0;
    while (readable(fd, seconds) && read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

bool read_exactly(int fd, char* buf, std::size_t n, int seconds) {
    std::size_t done = 0;
    while (done < n && readable(fd, seconds)) {
        const ssize_t got = read(fd, buf + done, n - done);
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return done == n;
}

// One message of the protocol: its type, then its length (itself included) and body.
std::string message(char type, const std::string& body) {
    const auto len = static_cast<std::uint32_t>(body.size() + 4);
    std::string out(1, type);
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((len >> shift) & 0xff);
    }
    return out + body;
}

std::string error_response(const std::string& code, const std::string& text) {
    using namespace std::string_literals;
    return message('E', "SFATAL\0VFATAL\0C"s + code + '\0' + "M" + text + '\0' + '\0');
}

void send_all(int fd, const std::string& bytes) {
    (void)!write(fd, bytes.data(), bytes.size());
}

}  // namespace

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "fault_sweep: %s\n", why.c_str());
    std::exit(2);
}

Conn connect_to(const std::string& db) {
    const char* keys[] = {"dbname", nullptr};
    const char* values[] = {db.c_str(), nullptr};
    Conn c(PQconnectdbParams(keys, values, 1), &PQfinish);
    if (PQstatus(c.get()) != CONNECTION_OK) {
        die("cannot connect to " + db + ": " + PQerrorMessage(c.get()));
    }
    return c;
}

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

std::string key_of(const std::string& row) {
    return row.substr(0, row.find('\t'));
}

std::string pass_of_table(const std::string& table) {
    if (table == "textproduct") {
        return "text products";
    }
    if (table == "vtecevent") {
        return "events";
    }
    return "time-based purge";
}

double Run::metric(const char* name) const {
    const auto found = metrics.find(name);
    return found == metrics.end() ? 0.0 : found->second;
}

std::string Run::outcome_of(long k) const {
    std::string word;
    for (const Event& e : log) {
        if (e.type == 'S' && e.k == k) {
            word = e.word;
        }
    }
    return word;
}

Sweeper::Sweeper(std::string trevane, std::string preload, const std::string& data_sql, int timeout)
    : trevane_(std::move(trevane)), preload_(std::move(preload)), timeout_(timeout) {
    const char* base = std::getenv("TREVANE_TEST_TEMPLATE");
    if (base == nullptr || data_sql.empty()) {
        die("no test server or no data: run under scripts/with-test-db.sh");
    }
    db_ = "fault_sweep_" + std::to_string(getpid());
    work_ = fs::temp_directory_path() / ("fault_sweep." + std::to_string(getpid()));
    made.work = work_;
    fs::create_directories(work_ / "pg");
    grid_dir_ = (work_ / "run" / "grid").string();
    {
        const Conn admin = connect_to("postgres");
        query(admin.get(), "CREATE DATABASE " + db_ + " TEMPLATE " + base);
        made.db = db_;
    }
    data_ = connect_to(db_);
    locker_ = connect_to(db_);
    // 25006 stops the run where the server does not say whether it is a standby.
    reports_standby_ = PQparameterStatus(data_.get(), "in_hot_standby") != nullptr;
    PGconn* const db = data_.get();
    query(db, data_sql);
    // The statements of every run come in the clean run's order only while the planner's
    // estimates stay as they are: the event pass's combinations come from a hash whose order
    // follows them. No analyze may land between two runs.
    for (const Table& t : kTables) {
        query(db, std::string("ALTER TABLE ") + t.name + " SET (autovacuum_enabled = off)");
    }
    query(db, "CREATE SCHEMA sweep_keep");
    for (const Table& t : kTables) {
        query(db,
              std::string("CREATE TABLE sweep_keep.k_") + t.name + " AS SELECT * FROM " + t.name);
    }
    grid_files_ = query(db, "SELECT grid_filename FROM dparadar WHERE maxvald > 0.0 ORDER BY 1");
    pause_fd_ = listen_unix(work_ / "pause.sock");
    server_fd_ = listen_unix(work_ / "pg" / ".s.PGSQL.5999");
    before_ = snapshot();
    for (const std::string& f : grid_files_) {
        before_[kGridFiles].insert("table dparadar\t" + f);
    }
}

Sweeper::~Sweeper() {
    close(pause_fd_);
    close(server_fd_);
}

Rows Sweeper::snapshot() {
    std::string sql = "SELECT '" + kGridRows + "', 'table dparadar' || E'\\t' || grid_filename " +
                      "FROM dparadar WHERE maxvald > 0.0";
    for (const Table& t : kTables) {
        sql += std::string(" UNION ALL SELECT '") + t.name + "', " + t.key +
               " || E'\\t' || t::text" + " FROM " + t.name + " t";
    }
    Rows rows;
    for (const Table& t : kTables) {
        rows[t.name];
    }
    rows[kGridRows];
    rows[kGridFiles];
    for (const std::string& row : query(data_.get(), sql)) {
        const auto tab = row.find('\t');
        rows[row.substr(0, tab)].insert(row.substr(tab + 1));
    }
    return rows;
}

Run Sweeper::run(const Injection& inj, bool again) {
    const fs::path dir = work_ / "run";
    if (!again) {
        query(data_.get(), restore_statements());
        fs::remove_all(dir);
        fs::create_directories(grid_dir_);
        fs::create_directories(dir / "state");
        for (const std::string& f : grid_files_) {
            std::ofstream(fs::path(grid_dir_) / f) << "grid\n";
        }
    }
    fs::remove(dir / "log");
    fs::remove(dir / "run.prom");

    const char* asan = std::getenv("ASAN_OPTIONS");
    testsupport::EnvChanges env{
        {"db_name", db_},
        {"dpa_grid_dir", grid_dir_},
        {"trevane_backup_retention_use", "ON"},
        {"trevane_metrics_file", (dir / "run.prom").string()},
        // Every run has its state directory, as the unit gives the service one.
        {"STATE_DIRECTORY", (dir / "state").string()},
        {"FAULT_LOG", (dir / "log").string()},
        {"FAULT_PAUSE", (work_ / "pause.sock").string()},
        {"LD_PRELOAD", preload_},
        // The preload comes before the sanitizer runtime of an instrumented build.
        {"ASAN_OPTIONS",
         (asan != nullptr ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0"},
    };
    for (const char* key :
         {"APPS_DEFAULTS", "APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
          "PG_DBPATH", "PGOPTIONS", "JOURNAL_STREAM", "trevane_preview", "trevane_lock_timeout",
          "trevane_statement_timeout", "FAULT_AT", "FAULT_KIND", "FAULT_UNLINK", "FAULT_METRICS"}) {
        env[key] = std::nullopt;
    }
    for (const auto& [key, value] : inj.env) {
        env[key] = value;
    }
    if (inj.refusal != Refusal::None) {
        env["PGHOST"] = (work_ / "pg").string();
        env["PGPORT"] = "5999";
        env["PGPASSWORD"] = "not-the-password";
    }

    Run r;
    testsupport::RunResult done;
    {
        testsupport::Child child(trevane_, {}, env);
        if (inj.lock) {
            hold_lock(child, inj.signal_when_waiting);
            r.landed = lock_landed_;
        }
        if (inj.refusal != Refusal::None) {
            r.landed = answer_connect(child, inj.refusal);
        }
        done = child.wait(timeout_);
    }
    r.timed_out = done.timedOut;
    r.status = done.signal == 0 ? done.status : -1;
    r.signo = done.signal;
    r.out = done.out;
    r.err = done.err;
    r.log = read_log(dir / "log");
    r.metrics_path = (dir / "run.prom").string();
    r.grid_dir = grid_dir_;
    r.have_metrics = fs::exists(dir / "run.prom");
    r.metrics = read_metrics(read_file(dir / "run.prom"), r.metrics_error);
    r.rows = snapshot();
    for (const auto& entry : fs::directory_iterator(grid_dir_)) {
        r.rows[kGridFiles].insert("table dparadar\t" + entry.path().filename().string());
    }
    return r;
}

// Before statement k the preload says so: the table that its DELETE names is locked by a
// second session until the statement's answer is in, and with `signal_when_waiting` trevane
// gets SIGTERM once the statement waits for that lock.
void Sweeper::hold_lock(testsupport::Child& child, bool signal_when_waiting) {
    lock_landed_ = false;
    const int fd = accept_within(pause_fd_, timeout_);
    if (fd < 0) {
        return;
    }
    const std::string before = read_line(fd, timeout_);
    const auto from = before.find("DELETE FROM ");
    std::string table;
    if (from != std::string::npos) {
        table = before.substr(from + 12);
        table = table.substr(0, table.find_first_of(" ;"));
    }
    PGconn* const c = locker_.get();
    if (!table.empty()) {
        query(c, "BEGIN");
        query(c, "LOCK TABLE " + table + " IN SHARE MODE");
    }
    send_all(fd, "g");
    if (!table.empty()) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_);
        while (std::chrono::steady_clock::now() < until) {
            const std::string waiting =
                query(c, "SELECT count(*) FROM pg_locks WHERE NOT granted AND relation = '" +
                             table + "'::regclass")
                    .at(0);
            if (waiting != "0") {
                lock_landed_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (signal_when_waiting && lock_landed_) {
            child.signal(SIGTERM);
        }
    }
    read_line(fd, timeout_);  // the statement's answer is in
    if (!table.empty()) {
        query(c, "ROLLBACK");
    }
    send_all(fd, "g");
    close(fd);
}

// Answers trevane's connect on the listener as a server that refuses it; a silent listener
// says nothing, and trevane gets SIGTERM once its connect is under way.
bool Sweeper::answer_connect(testsupport::Child& child, Refusal refusal) {
    const int fd = accept_within(server_fd_, timeout_);
    if (fd < 0) {
        return false;
    }
    char head[4];
    bool landed = read_exactly(fd, head, 4, timeout_);
    const std::uint32_t len =
        (static_cast<std::uint8_t>(head[0]) << 24U) | (static_cast<std::uint8_t>(head[1]) << 16U) |
        (static_cast<std::uint8_t>(head[2]) << 8U) | static_cast<std::uint8_t>(head[3]);
    std::vector<char> startup(len > 4 && len < 10000 ? len - 4 : 0);
    landed =
        landed && !startup.empty() && read_exactly(fd, startup.data(), startup.size(), timeout_);
    switch (refusal) {
        case Refusal::StartingUp:
            send_all(fd, error_response("57P03", "the database system is starting up"));
            break;
        case Refusal::TooManyClients:
            send_all(fd, error_response("53300", "sorry, too many clients already"));
            break;
        case Refusal::BadPassword: {
            // A password asked for in clear text; the answer is refused.
            send_all(fd, message('R', std::string("\0\0\0\3", 4)));
            char type = 0;
            char size[4];
            landed = landed && read_exactly(fd, &type, 1, timeout_) && type == 'p' &&
                     read_exactly(fd, size, 4, timeout_);
            send_all(fd, error_response("28P01", "password authentication failed for user"));
            break;
        }
        case Refusal::Silent:
            child.signal(SIGTERM);
            // The connect is cut: trevane closes its end.
            while (readable(fd, timeout_)) {
                char c = 0;
                if (read(fd, &c, 1) <= 0) {
                    break;
                }
            }
            break;
        case Refusal::None:
            break;
    }
    close(fd);
    return landed;
}

}  // namespace sweep
