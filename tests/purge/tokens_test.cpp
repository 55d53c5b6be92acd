// The table of tokens against every place that lists them: the usage text of the real program,
// the example token file and the manual page as groff renders it.

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "TempDir.h"
#include "tokens.h"

namespace {

// Lower case, every run of white space one blank: how a phrase is compared wherever it was
// wrapped.
std::string normalized(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            if (!out.empty() && out.back() != ' ') {
                out += ' ';
            }
        } else {
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

std::set<std::string> table_names() {
    std::set<std::string> names;
    for (const TokenInfo& token : trevane_tokens()) {
        names.emplace(token.name);
    }
    return names;
}

}  // namespace

TEST(TokenTable, UsageListsEveryTokenWithItsMeaningAndDefault) {
    const auto r = testsupport::runProgram(testsupport::builtProgram("trevane"), {"--help"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string help = normalized(r.out);
    for (const TokenInfo& token : trevane_tokens()) {
        const std::string entry =
            normalized(std::string(token.name) + " " + std::string(token.meaning) +
                       " unset: " + std::string(token.default_value));
        EXPECT_NE(help.find(entry), std::string::npos) << entry << "\n" << r.out;
    }
}

// Each paragraph of the token file (lines between blank lines) that defines a token, as a line
// "name : value" or commented out as "#name : value", explains it in its comments. A token that
// no other token refers to with "$(name)" is one that trevane reads, so it must be in the table.
TEST(TokenTable, ExampleTokenFileDefinesEveryTokenWithItsMeaningAndNoOther) {
    const std::string file = testsupport::readFile(TREVANE_SOURCE_DIR "/doc/systemd/apps_defaults");
    ASSERT_FALSE(file.empty());
    const std::regex definition(R"(^#?([A-Za-z_][A-Za-z0-9_]*)\s*:)");
    const std::regex reference(R"(\$\(([A-Za-z0-9_]+)\))");

    std::map<std::string, std::string> comments_of;  // defined name -> its paragraph's comments
    std::set<std::string> referenced;
    std::istringstream lines(file + "\n");
    std::vector<std::string> paragraph_names;
    std::string comments;
    for (std::string line; std::getline(lines, line);) {
        if (line.find_first_not_of(" \t") == std::string::npos) {
            for (const std::string& name : paragraph_names) {
                comments_of[name] = normalized(comments);
            }
            paragraph_names.clear();
            comments.clear();
            continue;
        }
        for (std::sregex_iterator m(line.begin(), line.end(), reference), end; m != end; ++m) {
            referenced.insert((*m)[1]);
        }
        std::smatch m;
        if (std::regex_search(line, m, definition)) {
            paragraph_names.push_back(m[1]);
        } else if (line[0] == '#') {
            comments += line.substr(1) + "\n";
        }
    }

    std::set<std::string> read_by_trevane;
    for (const auto& [name, text] : comments_of) {
        if (!referenced.contains(name)) {
            read_by_trevane.insert(name);
        }
    }
    EXPECT_EQ(read_by_trevane, table_names());
    for (const TokenInfo& token : trevane_tokens()) {
        const std::string meaning = normalized(std::string(token.meaning));
        EXPECT_NE(comments_of[std::string(token.name)].find(meaning), std::string::npos)
            << token.name << ": " << meaning;
    }
}

// In the section CONFIGURATION TOKENS every entry is a token of the table and explains it; no
// other name that looks like one of trevane's own tokens appears anywhere on the page.
TEST(TokenTable, ManualPageDescribesEveryTokenWithItsMeaningAndNoOther) {
    // One line per paragraph: nothing is wrapped or hyphenated.
    const auto r =
        testsupport::runProgram("/bin/sh", {"-c", "groff -man -Tascii -P-cbou -rLL=2000n \"$1\"",
                                            "sh", TREVANE_SOURCE_DIR "/doc/trevane.8"});
    ASSERT_EQ(r.status, 0) << r.err;

    const std::size_t start = r.out.find("\nCONFIGURATION TOKENS\n");
    ASSERT_NE(start, std::string::npos);
    std::istringstream section(r.out.substr(start, r.out.find("\nMETRICS\n") - start));
    std::map<std::string, std::string> entries;  // tag -> its paragraph
    std::string tag;
    for (std::string line; std::getline(section, line);) {
        if (line.rfind("       ", 0) == 0 && line[7] != ' ' &&
            line.find(' ', 7) == std::string::npos) {
            tag = line.substr(7);
        } else if (!tag.empty()) {
            entries[tag] += line + "\n";
        }
    }

    std::set<std::string> tags;
    for (const auto& [name, text] : entries) {
        tags.insert(name);
    }
    EXPECT_EQ(tags, table_names());
    for (const TokenInfo& token : trevane_tokens()) {
        const std::string meaning = normalized(std::string(token.meaning));
        EXPECT_NE(normalized(entries[std::string(token.name)]).find(meaning), std::string::npos)
            << token.name << ": " << meaning;
    }

    // Metric names (trevane_last_..., a preview's trevane_preview_...) and file names
    // (trevane_role.sql) are no tokens.
    std::set<std::string> stray;
    const std::regex own_token(R"(\btrevane_[a-z0-9_]+(?![a-z0-9_]|\.sql))");
    for (std::sregex_iterator m(r.out.begin(), r.out.end(), own_token), e; m != e; ++m) {
        const std::string name = m->str();
        if (name.rfind("trevane_last_", 0) != 0 && name.rfind("trevane_preview_", 0) != 0 &&
            !table_names().contains(name)) {
            stray.insert(name);
        }
    }
    EXPECT_EQ(stray, std::set<std::string>{});
}
