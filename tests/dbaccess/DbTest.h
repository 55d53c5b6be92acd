#pragma once

// Shared pieces of the access-layer tests: a fresh database with the in-process session open,
// timestamps from text, and the null markers written into record fields.

#include <gtest/gtest.h>
#include <pgtypes_timestamp.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "DbmsAccess.h"
#include "DbmsUtils.h"
#include "PgTest.h"

namespace dbtest {

// A fresh database per test, with the process's session connected to it.
class DbTest : public ::testing::Test {
   protected:
    void SetUp() override {
        REQUIRE_TEST_SERVER();
        db_ = std::make_unique<testsupport::TestDatabase>();
        ASSERT_EQ(OpenDbms(db_->name().c_str()), 0);
        connected_ = true;
    }
    void TearDown() override {
        if (connected_)
            CloseDbms();
        db_.reset();
    }
    testsupport::TestDatabase& db() { return *db_; }

   private:
    std::unique_ptr<testsupport::TestDatabase> db_;
    bool connected_ = false;
};

inline timestamp ts(const char* text) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s", text);
    return PGTYPEStimestamp_from_asc(buf, nullptr);
}

// Null markers, as records hold them.
template <std::size_t N>
void set_null(char (&f)[N]) {
    std::memset(f, 0, N);
}
inline void set_null(short& f) {
    f = SHRT_MIN;
}
inline void set_null(int& f) {
    f = INT_MIN;
}
inline void set_null(float& f) {
    std::memset(&f, 0xFF, sizeof f);
}
inline void set_null(double& f) {
    std::memset(&f, 0xFF, sizeof f);
}
inline void set_null(timestamp& f) {
    std::memset(&f, 0xFF, sizeof f);
}

template <std::size_t N>
void set_text(char (&f)[N], const char* text) {
    std::memset(f, 0, N);
    std::snprintf(f, N, "%s", text);
}

// The three lines an accessor writes for a failed step.
inline std::string report(const std::string& first, const DbStatus& st) {
    return first + " --- ERROR\nSQLCODE = (" + std::to_string(st.sqlCode) + ") sql state = (" +
           st.sqlState + ")\nError Message (" + st.errorMessage + ")\n";
}

}  // namespace dbtest
