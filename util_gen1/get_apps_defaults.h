#pragma once

// Configuration tokens: a name resolved to a text value from the environment and from four
// token files ("APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
// "APPS_DEFAULTS", searched in that order), with "$(name)" references spliced in.
//
// Not reentrant: one lookup at a time per process.

// Smallest reply buffer that callers of get_apps_defaults must supply.
inline constexpr int kAppsDefaultsReplySize = 512;
// Smallest value buffer of get_apps_defaults_r.
inline constexpr int kAppsDefaultsValueSize = 601;

// The points on which programs read token files differently. The default set is the one that
// get_apps_defaults uses.
struct TokenRules {
    // false: everything after the name that is white space or ':' separates it from the value,
    //        and the ':' that qualifies the line may stand anywhere on it.
    // true:  the name must be followed by optional white space, then ':' at once, then optional
    //        white space; other lines are skipped, and a second ':' belongs to the value.
    bool colon_right_after_name = false;
    // false: a matching line whose value starts with '#' is passed over and the search goes on,
    //        in the same file and then in the later files.
    // true:  such a line is passed over within its file, but once that file is finished the
    //        search ends with an empty value.
    bool hash_value_ends_search_after_file = false;
    // false: a matching line whose value is empty after expansion sends the search on to the
    //        next token file.
    // true:  that empty value is the result; later files are not consulted.
    bool empty_value_decides = false;
};

// Looks up the token named by the first *request_len characters of request (a zero byte among
// them ends the name early; 1 to 128 characters). reply (at least 512 bytes) receives the value,
// at most 511 characters, zero-terminated, or the empty string; *reply_len receives its length
// (written after *request_len has been read, so both may point to the same int).
// Returns 0 when a non-empty value was placed in reply, 1 otherwise. Prints nothing.
int get_apps_defaults(const char* request, const int* request_len, char* reply, int* reply_len);

// The same lookup under another set of rules.
int get_apps_defaults_with_rules(const TokenRules& rules, const char* request,
                                 const int* request_len, char* reply, int* reply_len);

// Resolution of one zero-terminated name into value (at least 601 bytes), for use during a
// lookup only (references resolve through it). Outside a lookup it leaves value empty.
void get_apps_defaults_r(const char* name, char* value);
