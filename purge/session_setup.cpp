#include "session_setup.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include "Esql.h"
#include "trevane.h"

namespace {

constexpr const char* kConnectTimeoutSeconds = "30";

bool given_in_environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// True when the server reports `parameter` as on.
bool reported_on(const PGconn* conn, const char* parameter) {
    const char* value = PQparameterStatus(conn, parameter);
    return value != nullptr && std::strcmp(value, "on") == 0;
}

}  // namespace

SessionTokens read_session_tokens() {
    char value[512] = "";
    SessionTokens tokens;
    read_token("trevane_lock_timeout", value);
    tokens.lock_timeout = value;
    value[0] = '\0';
    read_token("trevane_statement_timeout", value);
    tokens.statement_timeout = value;
    return tokens;
}

std::string escape_option_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
            c == '\v') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

void prepare_connection_environment(bool preview, const SessionTokens& tokens) {
    if (!given_in_environment("PGCONNECT_TIMEOUT")) {
        setenv("PGCONNECT_TIMEOUT", kConnectTimeoutSeconds, 1);
    }
    if (!given_in_environment("PGAPPNAME")) {
        setenv("PGAPPNAME", "trevane", 1);
    }
    const char* given = std::getenv("PGOPTIONS");
    std::string options = given != nullptr ? given : "";
    const auto add = [&options](const char* parameter, const std::string& value) {
        if (!options.empty()) {
            options += ' ';
        }
        options += "-c " + std::string(parameter) + "=" + escape_option_value(value);
    };
    if (!tokens.lock_timeout.empty()) {
        add("lock_timeout", tokens.lock_timeout);
    }
    if (!tokens.statement_timeout.empty()) {
        add("statement_timeout", tokens.statement_timeout);
    }
    if (preview) {
        // A safety net: any write that slips through a preview fails instead of deleting.
        add("default_transaction_read_only", "on");
    }
    if (given == nullptr ? !options.empty() : options != given) {
        setenv("PGOPTIONS", options.c_str(), 1);
    }
}

std::string rejected_token_line(const SessionTokens& tokens) {
    const std::string& said = esql::connect_failure_detail();
    const struct {
        const char* parameter;
        const char* token;
        const std::string& value;
    } settings[] = {
        {"\"lock_timeout\"", "trevane_lock_timeout", tokens.lock_timeout},
        {"\"statement_timeout\"", "trevane_statement_timeout", tokens.statement_timeout},
    };
    for (const auto& s : settings) {
        if (!s.value.empty() && said.find(s.parameter) != std::string::npos) {
            return "The server rejects " + std::string(s.token) + " = '" + s.value + "': " + said;
        }
    }
    return {};
}

SessionKind session_kind() {
    const PGconn* conn = ECPGget_PGconn(nullptr);
    if (conn == nullptr) {
        return SessionKind::Writable;
    }
    if (reported_on(conn, "in_hot_standby")) {
        return SessionKind::HotStandby;
    }
    if (reported_on(conn, "default_transaction_read_only")) {
        return SessionKind::ReadOnly;
    }
    return SessionKind::Writable;
}
