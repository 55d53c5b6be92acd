#include "PgTest.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace testsupport {

const std::string& psql_program() {
    static const std::string path = [] {
        const char* search = std::getenv("PATH");
        std::string_view dirs = search != nullptr ? search : "";
        while (!dirs.empty()) {
            const std::size_t end = std::min(dirs.find(':'), dirs.size());
            const std::string candidate =
                (end == 0 ? std::string(".") : std::string(dirs.substr(0, end))) + "/psql";
            if (access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            dirs.remove_prefix(std::min(end + 1, dirs.size()));
        }
        return std::string("psql");  // not found: running it fails and says so
    }();
    return path;
}

void psql_file(const std::string& db, const std::string& path) {
    const RunResult r = runProgram(
        psql_program(), {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", db, "-f", path}, {}, 600);
    EXPECT_EQ(r.status, 0) << "psql failed on " << path << "\n" << r.err;
}

bool haveTestServer() {
    return std::getenv("PGHOST") != nullptr && std::getenv("TREVANE_TEST_TEMPLATE") != nullptr;
}

std::string psql_literal(std::string_view value) {
    std::string out;
    for (const char c : value) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

namespace {

using Session = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The idle sessions of this process, by database and the PG* environment they were made with:
// a test that points the environment elsewhere gets sessions of its own. Every test runs in a
// process of its own, so no session outlives its test.
class SessionPool {
   public:
    Session take(const std::string& key, const std::string& db) {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            auto& idle = idle_[key];
            while (!idle.empty()) {
                Session s(idle.back(), &PQfinish);
                idle.pop_back();
                if (untouched(s.get())) {
                    return s;
                }
            }
        }
        const char* keys[] = {"dbname", "fallback_application_name", nullptr};
        const char* values[] = {db.c_str(), "trevane_tests", nullptr};
        return Session(PQconnectdbParams(keys, values, 1), &PQfinish);
    }
    void give_back(const std::string& key, Session s) {
        const std::lock_guard<std::mutex> hold(mutex_);
        idle_[key].push_back(s.release());
    }
    // Closes the idle sessions of database `db`.
    void forget(const std::string& db) {
        const std::lock_guard<std::mutex> hold(mutex_);
        for (auto it = idle_.lower_bound(db + '\0'); it != idle_.end(); it = idle_.erase(it)) {
            if (it->first.compare(0, db.size() + 1, db + '\0') != 0) {
                break;
            }
            for (PGconn* c : it->second) {
                PQfinish(c);
            }
        }
    }

   private:
    // An idle session hears nothing from the server until it asks; anything waiting on its
    // socket is the message of a server that ended it, or the end of the connection.
    static bool untouched(PGconn* c) {
        pollfd p{PQsocket(c), POLLIN, 0};
        return PQstatus(c) == CONNECTION_OK && poll(&p, 1, 0) == 0;
    }
    std::mutex mutex_;
    std::map<std::string, std::vector<PGconn*>> idle_;
};

SessionPool& pool() {
    static SessionPool* const p = new SessionPool;  // lives as long as the process
    return *p;
}

// The database and every PG* variable of the environment.
std::string session_key(const std::string& db) {
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PG", 2) == 0) {
            vars.emplace_back(*e);
        }
    }
    std::sort(vars.begin(), vars.end());
    std::string key = db + '\0';
    for (const std::string& v : vars) {
        key += v + '\n';
    }
    return key;
}

}  // namespace

std::string run_sql(const std::string& db, std::string_view sql) {
    const std::string key = session_key(db);
    Session s = pool().take(key, db);
    if (PQstatus(s.get()) != CONNECTION_OK) {
        ADD_FAILURE() << "cannot connect to " << db << " for: " << sql << "\n"
                      << PQerrorMessage(s.get());
        return "";
    }
    std::string out;
    std::string error;
    if (PQsendQuery(s.get(), std::string(sql).c_str()) == 0) {
        error = PQerrorMessage(s.get());
    }
    while (error.empty()) {
        const Result r(PQgetResult(s.get()), &PQclear);
        if (r == nullptr) {
            break;
        }
        const ExecStatusType st = PQresultStatus(r.get());
        if (st == PGRES_TUPLES_OK) {
            for (int i = 0; i < PQntuples(r.get()); ++i) {
                for (int j = 0; j < PQnfields(r.get()); ++j) {
                    out += (j > 0 ? "|" : "") + std::string(PQgetvalue(r.get(), i, j));
                }
                out += '\n';
            }
        } else if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH) {
            error = "COPY has no data to go with it here";
            s.reset();  // the session is in the middle of the COPY: closed, not given back
        } else if (st != PGRES_COMMAND_OK && st != PGRES_EMPTY_QUERY) {
            error = PQresultErrorMessage(r.get());
            error += PQerrorMessage(s.get());
        }
    }
    // What is left of a failed query is read before the session is judged.
    while (s != nullptr) {
        const Result rest(PQgetResult(s.get()), &PQclear);
        if (rest == nullptr) {
            break;
        }
    }
    EXPECT_TRUE(error.empty()) << "SQL failed on: " << sql << "\n" << error;
    if (PQstatus(s.get()) == CONNECTION_OK && PQtransactionStatus(s.get()) == PQTRANS_IDLE) {
        const Result reset(PQexec(s.get(), "DISCARD ALL"), &PQclear);
        if (PQresultStatus(reset.get()) == PGRES_COMMAND_OK) {
            pool().give_back(key, std::move(s));
        }
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

TestDatabase::TestDatabase() {
    static std::atomic<int> serial{0};
    const char* tmpl = std::getenv("TREVANE_TEST_TEMPLATE");
    name_ = "t_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    // From 15 on, a copy of the template's files is several times cheaper than its blocks
    // written through the log.
    static const bool file_copy =
        std::atoi(run_sql("postgres", "SHOW server_version_num").c_str()) >= 150000;
    run_sql("postgres", "CREATE DATABASE " + name_ + " TEMPLATE " + (tmpl ? tmpl : "template1") +
                            (file_copy ? " STRATEGY FILE_COPY" : ""));
}

TestDatabase::~TestDatabase() {
    // Sessions left behind are ended first: DROP DATABASE ... WITH (FORCE) is 13 and later.
    pool().forget(name_);
    run_sql("postgres", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                            name_ + "'");
    run_sql("postgres", "DROP DATABASE IF EXISTS " + name_);
}

long long TestDatabase::count(std::string_view query) const {
    const std::string out = sql(query);
    return std::strtoll(out.c_str(), nullptr, 10);
}

EnvChanges TestDatabase::env() const {
    return {{"db_name", name_},
            {"APPS_DEFAULTS", std::nullopt},
            {"APPS_DEFAULTS_USER", std::nullopt},
            {"APPS_DEFAULTS_PROG", std::nullopt},
            {"APPS_DEFAULTS_SITE", std::nullopt},
            {"PG_DBPATH", std::nullopt}};
}

}  // namespace testsupport
