#pragma once

#include <span>
#include <string_view>

// The configuration tokens that trevane reads, each defined once: its name, what it means and
// what an unset (or empty) token means. The usage text is printed from this table, and the
// example token file and the manual page are checked against it.
struct TokenInfo {
    std::string_view name;
    std::string_view meaning;        // a phrase, lower case first: "name of the database to purge"
    std::string_view default_value;  // what applies when the token is not set
};

// Every token that trevane and its database access layer read, in the order of a run.
std::span<const TokenInfo> trevane_tokens();
