#pragma once

#include <string>
#include <string_view>

#include "Process.h"

namespace testsupport {

// True when the test harness (scripts/with-test-db.sh) has started a server for us.
bool haveTestServer();

// The psql that runs the tests' SQL files: the first one in PATH, where scripts/with-test-db.sh
// puts the directory of the server it started.
const std::string& psql_program();

// A value made fit to stand between single quotes in SQL: every quote doubled.
std::string psql_literal(std::string_view value);

// Runs SQL (one or more statements, as one query) against `db` and returns what psql -A -t
// would print: the rows of every result, one a line, fields joined by '|', NULL empty, without
// the final newline. A failing statement fails the current test with the server's message.
// The session comes from a pool of the test process, by database and PG* environment; it is
// given back as a new one would be (DISCARD ALL), or closed when the SQL left a transaction
// open, and one that the server ended meanwhile is replaced before use.
std::string run_sql(const std::string& db, std::string_view sql);

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
    // Runs SQL in this database; see run_sql().
    std::string sql(std::string_view text) const { return run_sql(name_, text); }
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
