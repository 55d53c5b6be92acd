#pragma once

#include <string>
#include <string_view>

#include "Process.h"

namespace testsupport {

// True when the test harness (scripts/with-test-db.sh) has started a server for us.
bool haveTestServer();

// The psql that runs the tests' SQL: the first one in PATH, where scripts/with-test-db.sh puts
// the directory of the server it started.
const std::string& psql_program();

// A value made fit to stand between single quotes in SQL: every quote doubled.
std::string psql_literal(std::string_view value);

// Runs SQL through psql against `db` and returns its unaligned, tuples-only output with the
// final newline removed. A failing statement fails the current test with psql's message.
std::string psql(const std::string& db, std::string_view sql);

// Runs a file of SQL through psql against `db`; a failure fails the current test.
void psql_file(const std::string& db, const std::string& path);

// A fresh database made from the harness's template (the schema of sql/schema.sql), dropped
// when the object dies. Every test that changes data takes one of its own.
class TestDatabase {
   public:
    TestDatabase();
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    const std::string& name() const { return name_; }
    // Runs SQL in this database; see psql().
    std::string sql(std::string_view text) const { return psql(name_, text); }
    // The first column of the first row of a query, as an integer.
    long long count(std::string_view query) const;
    // Environment that points a child process at this database through db_name.
    EnvChanges env() const;

   private:
    std::string name_;
};

}  // namespace testsupport

// Fails the test (instead of skipping it) when no server was started for it.
#define REQUIRE_TEST_SERVER()                                                        \
    do {                                                                             \
        if (!::testsupport::haveTestServer()) {                                      \
            FAIL() << "no test server: run the tests under scripts/with-test-db.sh"; \
        }                                                                            \
    } while (0)
