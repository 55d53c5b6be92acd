#pragma once

#include <string>
#include <string_view>

// The settings of the run's one connection, given at connect time through the client library's
// environment (so that no statement is added to the run), and what the server reports about the
// session it opened.

// The tokens that bound the waits of the run's statements, as PostgreSQL interval texts; empty
// when not set (nothing is applied).
struct SessionTokens {
    std::string lock_timeout;       // trevane_lock_timeout
    std::string statement_timeout;  // trevane_statement_timeout
};

// Reads the tokens above.
SessionTokens read_session_tokens();

// A value as it stands in a startup option of PGOPTIONS: blanks and backslashes escaped with a
// backslash.
std::string escape_option_value(std::string_view value);

// Sets the environment the connect reads: a connect timeout of 30 s and the application name
// trevane unless PGCONNECT_TIMEOUT or PGAPPNAME say otherwise, and PGOPTIONS with the timeouts
// of the tokens (and, for a preview, a read-only session) added after what it holds.
void prepare_connection_environment(bool preview, const SessionTokens& tokens);

// After a failed connect: the line that names the token whose value the server refused, or an
// empty text when the failure had another cause.
std::string rejected_token_line(const SessionTokens& tokens);

// What the server reports about the session it opened.
enum class SessionKind { Writable, HotStandby, ReadOnly };
SessionKind session_kind();
