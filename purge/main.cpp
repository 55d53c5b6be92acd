#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "journal_output.h"
#include "tokens.h"
#include "trevane.h"

// The nightly purge is configured by tokens only. Arguments exist so that an operator who asks
// for help gets it, and can preview without touching the token file: no argument but --preview
// purges, and an argument that is not understood stops the program before it reads a token or
// connects.

namespace {

constexpr std::string_view kUsageHead = R"(Usage: trevane [--preview | --help | --version]

Without arguments, purges the hydrologic forecasting database named by the token
db_name: deletes the rows older than the retention recorded in PurgeDynData, the
radar grid files of the expiring DPARadar rows, the text product versions beyond
what PurgeProduct allows and the old VTECevent records, prints a report on
standard output and records the run in PerfLog.

Tokens (a variable of the same name, then the token files):
)";

constexpr std::string_view kUsageTail = R"(
Environment:
  APPS_DEFAULTS_USER, APPS_DEFAULTS_PROG, APPS_DEFAULTS_SITE, APPS_DEFAULTS
                                the token files, searched in this order
  PGHOST, PGPORT, PGUSER, PGPASSFILE, ...
                                where and as whom to connect
  PGCONNECT_TIMEOUT             seconds to wait for the server (unset: 30)
  PGAPPNAME                     the session's name on the server (unset: trevane)
  PG_DBPATH                     names the database instead of db_name

Options:
  --preview  count what a purge would delete, delete nothing, and write the metrics
             to a file of its own (NAME-preview.prom), as the token trevane_preview does
  --help     print this help and exit
  --version  print the version and exit

Exit status: 0 the run got through (errors it reported and went past included),
1 the run stopped early, 2 an argument was not understood, 75 another run of the
same database holds its lock, 128+N a signal N stopped it (143 for SIGTERM).

The manual is trevane(8); 'tokvue NAME' prints a token as trevane reads it.
)";

constexpr std::size_t kTextColumn = 32;  // where a token's description starts
constexpr std::size_t kLineWidth = 80;

// Appends the words of `text` to `out`, which ends in the line being filled: lines of at most
// kLineWidth columns where the words allow, each new one indented to kTextColumn.
void append_wrapped(std::string& out, std::string_view text) {
    std::size_t column = out.size() - (out.rfind('\n') + 1);
    bool first = true;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view word = text.substr(start, end - start);
        if (!first && column + 1 + word.size() > kLineWidth) {
            out += '\n';
            out.append(kTextColumn, ' ');
            column = kTextColumn;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
        start = end + 1;
    }
}

// The usage text, its token list made from the table of tokens.
std::string usage_text() {
    std::string text(kUsageHead);
    for (const TokenInfo& token : trevane_tokens()) {
        text += "  ";
        text += token.name;
        text.append(kTextColumn > token.name.size() + 2 ? kTextColumn - token.name.size() - 2 : 1,
                    ' ');
        append_wrapped(text, token.meaning);
        text += '\n';
        text.append(kTextColumn, ' ');
        append_wrapped(text, "unset: " + std::string(token.default_value));
        text += '\n';
    }
    text += kUsageTail;
    return text;
}

int usage_error(const char* message, std::string_view argument, std::string_view after = {}) {
    if (after.empty()) {
        std::fprintf(stderr, "trevane: %s '%.*s'; see 'trevane --help'\n", message,
                     static_cast<int>(argument.size()), argument.data());
    } else {
        std::fprintf(stderr, "trevane: %s '%.*s' after '%.*s'; see 'trevane --help'\n", message,
                     static_cast<int>(argument.size()), argument.data(),
                     static_cast<int>(after.size()), after.data());
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    use_journal_priorities();
    if (argc < 2) {
        return trevane_run();
    }
    const std::string_view option = argv[1];
    if (option != "--help" && option != "--version" && option != "--preview") {
        return usage_error("unrecognized argument", option);
    }
    if (argc > 2) {
        return usage_error("unexpected argument", argv[2], option);
    }
    if (option == "--preview") {
        return trevane_run(true);
    }
    if (option == "--help") {
        const std::string text = usage_text();
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        std::printf("trevane %s\n", TREVANE_VERSION);
    }
    return 0;
}
