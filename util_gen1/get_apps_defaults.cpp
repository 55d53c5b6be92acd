#include "get_apps_defaults.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kMaxNameChars = 128;  // requested name, name field, reference name
constexpr std::size_t kPieceChars = 520;    // a line is read in pieces of at most this many
constexpr std::size_t kMaxWorkingChars = 600;
constexpr std::size_t kMaxReplyChars = kAppsDefaultsReplySize - 1;
constexpr int kUsableResolutions = 40;  // file-consulting resolutions a usable result allows
constexpr int kExhausted = 41;          // past this, resolutions return empty at once
// Resolutions answered by the environment are not counted above, so a variable that refers to
// itself would expand forever; every lookup stops after this many resolutions of any kind.
constexpr int kMaxResolutionsInAll = 1000;

constexpr std::array<const char*, 4> kFileVariables = {"APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG",
                                                       "APPS_DEFAULTS_SITE", "APPS_DEFAULTS"};

// Character classes of the "C" locale, independent of whatever locale the process runs in.
constexpr bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool isPrintable(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u <= 0x7e;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// State of one lookup. Files are opened the first time a resolution reaches their slot and
// closed when the lookup ends.
struct Lookup {
    explicit Lookup(const TokenRules& r) : rules(r) {}

    const TokenRules rules;
    std::array<std::array<char, 20>, 4> env_var_array{};
    std::array<std::optional<std::string>, 4> opts_file{};
    std::array<File, 4> in{};
    int r_cou = 0;        // resolutions that went past the environment
    int resolutions = 0;  // resolutions of any kind
};

// The lookup in progress, for get_apps_defaults_r.
Lookup* current = nullptr;

class CurrentLookup {
   public:
    explicit CurrentLookup(Lookup& lookup) { current = &lookup; }
    ~CurrentLookup() { current = nullptr; }
    CurrentLookup(const CurrentLookup&) = delete;
    CurrentLookup& operator=(const CurrentLookup&) = delete;
};

// The slot's file, rewound, or null when its variable is unset or the file cannot be opened.
std::FILE* openSlot(Lookup& lk, std::size_t slot) {
    if (lk.in[slot]) {
        std::rewind(lk.in[slot].get());
        return lk.in[slot].get();
    }
    const char* path = std::getenv(lk.env_var_array[slot].data());
    lk.opts_file[slot] = path ? std::optional<std::string>(path) : std::nullopt;
    if (!lk.opts_file[slot]) {
        return nullptr;
    }
    lk.in[slot].reset(std::fopen(lk.opts_file[slot]->c_str(), "r"));
    return lk.in[slot].get();
}

// If the line names `name`, the position where its value starts; otherwise nothing.
std::optional<std::size_t> matchLine(std::string_view line, std::string_view name,
                                     const TokenRules& rules) {
    if (line.size() < 2 || line.find(':') == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t i = 0;
    while (i < line.size() && isWhite(line[i])) {
        ++i;
    }
    if (i == line.size() || line[i] == '#' || line[i] == ':') {
        return std::nullopt;
    }

    const std::size_t start = i;
    while (i < line.size() && isPrintable(line[i]) && !isWhite(line[i]) && line[i] != ':') {
        ++i;
    }
    const std::string_view field = line.substr(start, i - start);
    if (field.size() > kMaxNameChars || field != name) {
        return std::nullopt;
    }

    if (rules.colon_right_after_name) {
        while (i < line.size() && isWhite(line[i])) {
            ++i;
        }
        if (i == line.size() || line[i] != ':') {
            return std::nullopt;
        }
        ++i;
        while (i < line.size() && isWhite(line[i])) {
            ++i;
        }
    } else {
        while (i < line.size() && (isWhite(line[i]) || line[i] == ':')) {
            ++i;
        }
    }
    return i;
}

// The value that starts at `pos`: quoted up to the closing quote, unquoted up to a blank; a
// backslash keeps the next quote or blank in the value; a non-printable character ends it.
std::string_view takeValue(std::string_view line, std::size_t pos) {
    if (pos >= line.size()) {
        return {};
    }
    const char first = line[pos];
    if (first == '"' || first == '\'') {
        const std::size_t begin = pos + 1;
        std::size_t i = begin;
        while (i < line.size() && isPrintable(line[i]) &&
               !(line[i] == first && line[i - 1] != '\\')) {
            ++i;
        }
        return line.substr(begin, i - begin);
    }
    std::size_t i = pos;
    while (i < line.size() && isPrintable(line[i]) &&
           !(isWhite(line[i]) && i > pos && line[i - 1] != '\\')) {
        ++i;
    }
    return line.substr(pos, i - pos);
}

std::string resolve(Lookup& lk, std::string_view name);

// Splices the values of the "$(name)" references of `value` into it, from the left, until none
// is left, the resolutions run out or the text would grow past its limit.
std::string expand(Lookup& lk, std::string value) {
    for (;;) {
        const std::size_t open = value.find("$(");
        if (open == std::string::npos) {
            break;
        }
        const std::size_t close = value.find(')', open);
        if (close == std::string::npos) {
            break;
        }

        const std::string ref = value.substr(open + 2, close - open - 2);
        const std::string suffix = value.substr(close + 1);
        value.resize(open);  // the prefix
        if (ref.empty()) {
            value += suffix;
            continue;
        }
        const std::string resolved = resolve(lk, ref);
        if (lk.r_cou > kExhausted) {
            value.append("$(").append(ref).append(")").append(suffix);
            break;
        }
        if (value.size() + resolved.size() + suffix.size() > kMaxWorkingChars) {
            lk.r_cou = kExhausted;
            value.append("$(").append(ref).append(")").append(suffix);
            break;
        }
        value += resolved;
        value += suffix;
    }
    return value;
}

// The value of one name (environment first, then the token files), at most 600 characters;
// empty when nothing is found.
std::string resolve(Lookup& lk, std::string_view name) {
    // A name that no line can hold is found nowhere, and names no variable either.
    if (name.empty() || name.size() > kMaxNameChars) {
        return {};
    }
    if (++lk.resolutions > kMaxResolutionsInAll) {
        if (lk.r_cou < kExhausted) {
            lk.r_cou = kExhausted;
        }
        return {};
    }

    const std::string key(name);
    if (const char* env = std::getenv(key.c_str())) {
        const std::string_view envValue(env);
        if (envValue.size() > kMaxWorkingChars) {
            // Too long to hold: the lookup finds nothing, as for a value expanded past the limit.
            lk.r_cou = kExhausted;
            return {};
        }
        return std::string(envValue);
    }

    if (++lk.r_cou > kExhausted) {
        return {};
    }

    for (std::size_t slot = 0; slot < lk.in.size(); ++slot) {
        std::FILE* f = openSlot(lk, slot);
        if (f == nullptr) {
            continue;
        }

        bool passedOverHash = false;
        std::array<char, kPieceChars + 1> piece{};
        while (std::fgets(piece.data(), static_cast<int>(piece.size()), f) != nullptr) {
            // A zero byte ends the piece like its end.
            const std::string_view line(piece.data(), ::strnlen(piece.data(), piece.size()));
            const auto valuePos = matchLine(line, name, lk.rules);
            if (!valuePos) {
                continue;
            }
            if (*valuePos < line.size() && line[*valuePos] == '#') {
                passedOverHash = true;
                continue;
            }
            std::string value = expand(lk, std::string(takeValue(line, *valuePos)));
            if (!value.empty() || lk.rules.empty_value_decides) {
                return value;
            }
            break;
        }
        if (passedOverHash && lk.rules.hash_value_ends_search_after_file) {
            return {};
        }
    }
    return {};
}

}  // namespace

int get_apps_defaults_with_rules(const TokenRules& rules, const char* request,
                                 const int* request_len, char* reply, int* reply_len) {
    if (reply != nullptr) {
        reply[0] = '\0';
    }
    const int requested = request_len != nullptr ? *request_len : 0;

    std::string result;
    if (request != nullptr && reply != nullptr && requested >= 1 &&
        requested <= static_cast<int>(kMaxNameChars)) {
        const std::string_view name(request,
                                    ::strnlen(request, static_cast<std::size_t>(requested)));
        Lookup lookup(rules);
        for (std::size_t slot = 0; slot < kFileVariables.size(); ++slot) {
            std::snprintf(lookup.env_var_array[slot].data(), lookup.env_var_array[slot].size(),
                          "%s", kFileVariables[slot]);
        }
        std::string value;
        {
            const CurrentLookup active(lookup);
            value = resolve(lookup, name);
        }
        for (auto& f : lookup.in) {
            f.reset();
        }
        if (lookup.r_cou <= kUsableResolutions && value.size() <= kMaxReplyChars) {
            result = std::move(value);
        }
    }

    if (reply != nullptr) {
        std::memcpy(reply, result.data(), result.size());
        reply[result.size()] = '\0';
    }
    if (reply_len != nullptr) {
        *reply_len = static_cast<int>(result.size());
    }
    return result.empty() ? 1 : 0;
}

int get_apps_defaults(const char* request, const int* request_len, char* reply, int* reply_len) {
    return get_apps_defaults_with_rules(TokenRules{}, request, request_len, reply, reply_len);
}

void get_apps_defaults_r(const char* name, char* value) {
    std::memset(value, 0, kAppsDefaultsValueSize);
    if (current == nullptr || name == nullptr) {
        return;
    }
    const std::string resolved =
        resolve(*current, std::string_view(name, ::strnlen(name, kMaxNameChars + 1)));
    const std::size_t n = std::min(resolved.size(), std::size_t{kAppsDefaultsValueSize - 1});
    std::memcpy(value, resolved.data(), n);
    value[n] = '\0';
}
