// The embedded-SQL wrapper against a real server: statements prepared on the client, results
// as values, cursors that close themselves.

#include "Esql.h"

#include <cstdio>
#include <regex>
#include <string>

#include "DbTest.h"

namespace dbtest {
namespace {

using EsqlTest = DbTest;

TEST(NumberPlaceholders, OnlyPlacesOutsideLiteralsIdentifiersAndComments) {
    struct Case {
        const char* text;
        const char* numbered;
    } const cases[] = {
        {"a = ? AND b = ?", "a = $1 AND b = $2"},
        {"a = '?' AND \"b?\" = ?", "a = '?' AND \"b?\" = $1"},
        {"a = 'it''s ?' AND b = ?", "a = 'it''s ?' AND b = $1"},
        {"a = ? -- b = ?\nAND c = ?", "a = $1 -- b = ?\nAND c = $2"},
        {"a = ? /* b = ? /* nested ? */ still ? */ AND c = ?",
         "a = $1 /* b = ? /* nested ? */ still ? */ AND c = $2"},
        {"a = ? /*/ ? */ - ?", "a = $1 /*/ ? */ - $2"},
        {"a = ? -- to the end ?", "a = $1 -- to the end ?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(esql::detail::number_placeholders(c.text), c.numbered) << c.text;
    }
}

// What a failed statement says about the session. A write refused as read-only halts it only
// where the server does not say whether it is a standby (before PostgreSQL 14): where it does,
// the run has asked before any write, and the refusal is a failure like any other.
TEST(HaltAfter, TellsALostSessionFromOneThatCannotWrite) {
    struct Case {
        long code;
        const char* state;
        bool standby_reported;
        esql::Halt halt;
    } const cases[] = {
        {-220, "08003", true, esql::Halt::SessionLost},
        {-400, "08006", true, esql::Halt::SessionLost},
        {-400, "57P01", true, esql::Halt::SessionLost},
        {-400, "25006", false, esql::Halt::CannotWrite},
        {-400, "25006", true, esql::Halt::None},
        {-400, "55P03", false, esql::Halt::None},
        {100, "02000", false, esql::Halt::None},
    };
    for (const Case& c : cases) {
        esql::Result r;
        r.code = c.code;
        std::snprintf(r.state, sizeof r.state, "%s", c.state);
        EXPECT_EQ(esql::detail::halt_after(r, c.standby_reported), c.halt)
            << c.state << " " << c.standby_reported;
    }
}

// The client library's reason, taken from the runtime's log of a failed connect as it writes it.
TEST(ClientLibraryReason, FirstLineWithoutTheServerPrefixOrTheSeverity) {
    const std::string open =
        "[41]: ECPGconnect: opening database hd on <DEFAULT> port <DEFAULT>  \n";
    const std::string raised =
        "[41]: ecpg_finish: connection hd closed\n[41]: raising sqlcode -402 on line 3: could not "
        "connect to database \"hd\" on line 3\n";
    struct Case {
        std::string said;  // what the runtime logs after "ECPGconnect: "
        const char* reason;
    } const cases[] = {
        {"connection to server at \"db\" (10.0.0.5), port 5432 failed: SSL error: certificate "
         "verify failed\n",
         "SSL error: certificate verify failed"},
        {"connection to server at \"127.0.0.1\", port 6432 failed: FATAL:  password "
         "authentication failed for user \"purge\"\n",
         "password authentication failed for user \"purge\""},
        {"connection to server at \"127.0.0.1\", port 6432 failed: ERROR:  unsupported startup "
         "parameter: options\n",
         "unsupported startup parameter: options"},
        {"connection to server on socket \"/tmp/.s.PGSQL.5432\" failed: No such file or "
         "directory\n\tIs the server running locally and accepting connections on that "
         "socket?\n",
         "No such file or directory"},
        {"connection to server at \"localhost\" (::1), port 1 failed: Connection refused\n\tIs "
         "the server running on that host and accepting TCP/IP connections?\nconnection to "
         "server at \"localhost\" (127.0.0.1), port 1 failed: timeout expired\n",
         "Connection refused"},
        {"could not translate host name \"db.invalid\" to address: Name or service not known\n",
         "could not translate host name \"db.invalid\" to address: Name or service not known"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            esql::detail::client_library_reason(open + "[41]: ECPGconnect: " + c.said + raised),
            c.reason);
    }
    EXPECT_EQ(esql::detail::client_library_reason(open + raised), "");
}

TEST_F(EsqlTest, PreparingSendsNothingAndAFaultyStatementShowsWhenItRuns) {
    // The text is recorded as it is: no server would accept it.
    const esql::Result prepared = esql::prepare_on_client("t_faulty", "SELECT FROM WHERE");
    EXPECT_EQ(prepared.code, 0);
    EXPECT_STREQ(prepared.state, "00000");

    const int line = __LINE__ + 1;
    const esql::Result r = esql::execute("t_faulty");
    EXPECT_EQ(r.code, -400);
    EXPECT_STREQ(r.state, "42601");
    EXPECT_EQ(r.message, "syntax error at or near \"WHERE\" on line " + std::to_string(line));
    // The communication area is filled as the runtime fills it.
    EXPECT_EQ(esql::area().sqlcode, -400);

    // Preparing the name again replaces the text; host variables go with it as one statement.
    int n = 20;
    int doubled = 0;
    ASSERT_EQ(esql::prepare_on_client("t_faulty", "SELECT ? * 2").code, 0);
    const esql::Result again = esql::execute("t_faulty", esql::vars(n), esql::vars(doubled));
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(again.rows, 1);
    EXPECT_EQ(doubled, 40);

    const esql::Result unknown = esql::execute("t_never");
    EXPECT_EQ(unknown.code, ECPG_INVALID_STMT);
    EXPECT_STREQ(unknown.state, "26000");
    EXPECT_EQ(unknown.message.rfind("invalid statement name \"t_never\"", 0), 0u)
        << unknown.message;
}

TEST_F(EsqlTest, ACursorLeftOnAnEarlyReturnIsClosed) {
    db().sql("INSERT INTO Admin (hsa) VALUES ('ABC'), ('DEF')");
    ASSERT_EQ(esql::prepare_on_client("t_admin", "SELECT hsa FROM Admin ORDER BY hsa").code, 0);
    char hsa[6] = "";
    const auto first_row = [&] {
        esql::Cursor cursor("declare t_cur  cursor with hold for ?");
        if (cursor.open("t_admin").failed()) {
            return std::string("open failed: ") + esql::area().sqlerrm.sqlerrmc;
        }
        if (cursor.fetch(esql::vars(hsa)).code != 0) {
            return std::string("fetch failed");
        }
        return std::string(hsa);  // returns with the cursor still open
    };
    EXPECT_EQ(first_row(), "ABC");
    // The name is free again: a cursor still open would make this declare fail (42P03).
    EXPECT_EQ(first_row(), "ABC");

    // A cursor that could not be opened is not closed (there is nothing to close), and an
    // explicit close is final.
    esql::Cursor cursor("declare t_cur  cursor with hold for ?");
    EXPECT_EQ(cursor.open("t_never").code, ECPG_INVALID_STMT);
    EXPECT_FALSE(cursor.is_open());
    ASSERT_EQ(cursor.open("t_admin").code, 0);
    EXPECT_EQ(cursor.close().code, 0);
    EXPECT_FALSE(cursor.is_open());
    EXPECT_EQ(cursor.close().state, std::string("34000"));  // closing twice: no such cursor
}

// Every declare names its cursor anew: a cursor of the described name left on the session by
// someone else, or one of ours still open (as after a close that failed), neither answers for a
// new one nor makes its declare fail.
TEST_F(EsqlTest, EveryDeclareNamesItsCursorAnew) {
    ASSERT_EQ(esql::execute_immediate("declare t_cur cursor with hold for select 'stale'").code, 0);
    esql::Cursor left_open("declare t_cur  cursor with hold for select 'ours'");
    ASSERT_EQ(left_open.open().code, 0);
    const std::regex shape("t_cur_[a-z0-9]+");
    std::string earlier = left_open.name();
    for (int i = 0; i < 3; ++i) {
        esql::Cursor cursor("declare t_cur  cursor with hold for select 'new'");
        ASSERT_EQ(cursor.open().code, 0);
        EXPECT_TRUE(std::regex_match(cursor.name(), shape)) << cursor.name();
        EXPECT_NE(cursor.name(), earlier);
        earlier = cursor.name();
        char said[8] = "";
        ASSERT_EQ(cursor.fetch(esql::vars(said)).code, 0);
        EXPECT_STREQ(said, "new");
    }
    EXPECT_EQ(esql::halt(), esql::Halt::None);
}

// Texts fetched whole and fitted to a field of 9 bytes (8 characters): padded char(n) values fit
// once their blanks go, a value of exactly the field's characters fits, and one character more is
// too long, whether it arrives cut or whole. A null arrives as the empty text only where the
// column says so; elsewhere it fails the fetch as a null without indicator.
TEST_F(EsqlTest, FixedTextFitsPaddedValuesAndTellsOverLongOnes) {
    struct Case {
        const char* expression;
        esql::Trim trim;
        esql::TextFit fit;
        const char* value;
    } const cases[] = {
        {"'ABC'::char(8)", esql::Trim::TrailingBlanks, esql::TextFit::Fits, "ABC"},
        {"'ABC'::char(40)", esql::Trim::TrailingBlanks, esql::TextFit::Fits, "ABC"},
        {"'ABC'::char(40)", esql::Trim::Keep, esql::TextFit::TooLong, ""},
        {"'ABC'::char(8)", esql::Trim::Keep, esql::TextFit::Fits, "ABC     "},
        {"'ABCDEFGH'::varchar", esql::Trim::Keep, esql::TextFit::Fits, "ABCDEFGH"},
        {"'ABCDEFGHI'::varchar", esql::Trim::TrailingBlanks, esql::TextFit::TooLong, ""},
        {"repeat('x', 300)", esql::Trim::TrailingBlanks, esql::TextFit::TooLong, ""},
        {"NULL::char(8)", esql::Trim::TrailingBlanks, esql::TextFit::Null, ""},
    };
    for (const Case& c : cases) {
        for (const esql::OnNull on_null : {esql::OnNull::Empty, esql::OnNull::Fails}) {
            esql::FixedText<9> text(c.trim, on_null);
            const std::string query = std::string("SELECT ") + c.expression;
            const esql::Result r = esql::exec(query.c_str(), esql::none, esql::vars(text.var()));
            if (c.fit == esql::TextFit::Null && on_null == esql::OnNull::Fails) {
                EXPECT_STREQ(r.state, "22002");
                continue;
            }
            ASSERT_EQ(r.code, 0) << c.expression;
            EXPECT_EQ(text.fit(), c.fit) << c.expression;
            char field[9] = "old";
            EXPECT_EQ(text.copy_to(field), c.fit != esql::TextFit::TooLong) << c.expression;
            EXPECT_STREQ(field, c.value) << c.expression;
        }
    }
}

// A session that is gone, or that does not keep cursors from one statement to the next (a pooler
// in transaction mode), takes no further statement: the failure that showed it is counted once,
// and the next statement is refused without reaching the server.
TEST_F(EsqlTest, ASessionLostOrWithoutCursorsTakesNoFurtherStatement) {
    struct Case {
        const char* fault;
        esql::Halt halt;
        int fetches_before = 0;  // rows fetched before the cursor is closed behind its back
        bool by_close = false;   // the wrapper's close (not a fetch) finds it gone
    } const cases[] = {
        {"cursor closed behind the wrapper's back", esql::Halt::NoSessionCursors},
        {"cursor gone at a later fetch", esql::Halt::NoSessionCursors, 1},
        {"cursor gone at its close", esql::Halt::NoSessionCursors, 1, true},
        {"backend terminated by another session", esql::Halt::SessionLost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        CloseDbms();
        ASSERT_EQ(OpenDbms(db().name().c_str()), 0);
        ASSERT_EQ(esql::halt(), esql::Halt::None);
        const long failed_before = esql::failed_statement_count();

        esql::Result fault;
        if (c.halt == esql::Halt::NoSessionCursors) {
            esql::Cursor cursor(
                "declare t_gone  cursor with hold for select generate_series(1, 3)");
            ASSERT_EQ(cursor.open().code, 0);
            int one = 0;
            for (int i = 0; i < c.fetches_before; ++i) {
                ASSERT_EQ(cursor.fetch(esql::vars(one)).code, 0);
            }
            ASSERT_EQ(esql::execute_immediate(("close " + cursor.name()).c_str()).code, 0);
            fault = c.by_close ? cursor.close() : cursor.fetch(esql::vars(one));
            EXPECT_STREQ(fault.state, "34000");
        } else {
            int pid = 0;
            ASSERT_EQ(esql::exec("SELECT pg_backend_pid()", esql::none, esql::vars(pid)).code, 0);
            // Ended, and waited for (pg_terminate_backend waits itself only from 14 on).
            const std::string backend = std::to_string(pid);
            testsupport::run_sql("postgres",
                                 "DO $$ BEGIN PERFORM pg_terminate_backend(" + backend +
                                     "); FOR i IN 1..1000 LOOP PERFORM pg_stat_clear_snapshot(); "
                                     "EXIT WHEN NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE "
                                     "pid = " +
                                     backend + "); PERFORM pg_sleep(0.01); END LOOP; END $$");
            fault = esql::execute_immediate("SELECT 1");
        }
        EXPECT_EQ(esql::halt(), c.halt) << fault.state << " " << fault.message;
        EXPECT_STREQ(esql::halt_cause().state, fault.state);

        const esql::Result refused =
            esql::execute_immediate("INSERT INTO Admin (hsa) VALUES ('XYZ')");
        EXPECT_EQ(refused.code, ECPG_NO_CONN);
        EXPECT_EQ(esql::failed_statement_count() - failed_before, 1);
        EXPECT_EQ(db().count("SELECT count(*) FROM Admin WHERE hsa = 'XYZ'"), 0);
    }
}

}  // namespace
}  // namespace dbtest
