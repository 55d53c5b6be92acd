#include "PgTest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

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

std::string psql(const std::string& db, std::string_view sql) {
    const RunResult r = runProgram(
        psql_program(),
        {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d", db, "-c", std::string(sql)}, {},
        600);
    EXPECT_EQ(r.status, 0) << "psql failed on: " << sql << "\n" << r.err;
    std::string out = r.out;
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

TestDatabase::TestDatabase() {
    static std::atomic<int> serial{0};
    const char* tmpl = std::getenv("TREVANE_TEST_TEMPLATE");
    name_ = "t_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    psql("postgres", "CREATE DATABASE " + name_ + " TEMPLATE " + (tmpl ? tmpl : "template1"));
}

TestDatabase::~TestDatabase() {
    // Sessions left behind are ended first: DROP DATABASE ... WITH (FORCE) is 13 and later.
    psql("postgres",
         "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + name_ + "'");
    psql("postgres", "DROP DATABASE IF EXISTS " + name_);
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
