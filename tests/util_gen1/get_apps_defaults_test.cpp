#include "get_apps_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ScopedEnv.h"
#include "TempDir.h"

namespace {

const char* const kFileVars[] = {"APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
                                 "APPS_DEFAULTS"};

struct Result {
    int rc;
    std::string value;
    int len;
};

// Token files in a temporary directory, the environment restored afterwards.
class Tokens : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char* v : kFileVars) unsetEnv(v);
    }
    void setEnv(const std::string& name, const std::string& value) { env_.set(name, value); }
    void unsetEnv(const std::string& name) { env_.unset(name); }
    // Writes a token file and names it with the slot's variable (0 USER ... 3 system).
    void file(int slot, const std::string& contents) {
        const std::string path = dir_.write(std::string("tokens") + std::to_string(slot), contents);
        setEnv(kFileVars[slot], path);
    }

    // Looks a name up through a reply buffer followed by guard bytes that must stay untouched.
    Result look(const std::string& name, const TokenRules& rules = TokenRules{}) {
        return lookN(name, static_cast<int>(name.size()), rules);
    }
    Result lookN(const std::string& name, int n, const TokenRules& rules = TokenRules{}) {
        std::vector<char> buf(kAppsDefaultsReplySize + 64, 'Z');
        int len = -7;
        const int rc = get_apps_defaults_with_rules(rules, name.c_str(), &n, buf.data(), &len);
        for (std::size_t i = kAppsDefaultsReplySize; i < buf.size(); ++i) {
            EXPECT_EQ(buf[i], 'Z') << "reply buffer overrun at byte " << i;
        }
        Result r{rc, std::string(buf.data(), ::strnlen(buf.data(), kAppsDefaultsReplySize)), len};
        EXPECT_LT(r.value.size(), static_cast<std::size_t>(kAppsDefaultsReplySize));
        EXPECT_EQ(r.len, static_cast<int>(r.value.size()));
        EXPECT_EQ(r.rc, r.value.empty() ? 1 : 0);
        return r;
    }
    std::string value(const std::string& name, const TokenRules& rules = TokenRules{}) {
        return look(name, rules).value;
    }

    testsupport::TempDir dir_;

   private:
    testsupport::ScopedEnv env_;
};

int openDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// A chain t1 -> t2 -> ... -> tN whose last link holds "end".
std::string chain(int n) {
    std::string s;
    for (int i = 1; i < n; ++i) {
        s += "t" + std::to_string(i) + ": $(t" + std::to_string(i + 1) + ")\n";
    }
    s += "t" + std::to_string(n) + ": end\n";
    return s;
}

TEST_F(Tokens, LineFormatNameSeparatorAndUnquotedValue) {
    file(0,
         "db_name : hd_ob83oax     # the office database\n"
         "   \t indented:\tvalue1\n"
         "glued:value2 rest of line\n"
         "spaced   another_word : word\n"
         "twice:: double\n"
         "escaped: a\\ b c\n"
         "hashin: a#b\n"
         "tabbed: left\tright\n"
         "crlf: dos\r\n"
         "nocolon value\n"
         "last: no_newline_at_end");
    EXPECT_EQ(value("db_name"), "hd_ob83oax");
    EXPECT_EQ(value("indented"), "value1");
    EXPECT_EQ(value("glued"), "value2");
    // Any run of blanks and colons separates, and the colon may stand later on the line.
    EXPECT_EQ(value("spaced"), "another_word");
    EXPECT_EQ(value("twice"), "double");
    EXPECT_EQ(value("escaped"), "a\\ b");
    EXPECT_EQ(value("hashin"), "a#b");
    EXPECT_EQ(value("tabbed"), "left");
    EXPECT_EQ(value("crlf"), "dos");
    EXPECT_EQ(look("nocolon").rc, 1);
    EXPECT_EQ(value("last"), "no_newline_at_end");
    // Names are compared whole and with case.
    EXPECT_EQ(look("db_nam").rc, 1);
    EXPECT_EQ(look("DB_NAME").rc, 1);
    EXPECT_EQ(look("db_name ").rc, 1);
}

TEST_F(Tokens, QuotedValues) {
    file(0,
         "dq: \"two words\" trailing\n"
         "sq: 'single quoted' x\n"
         "esc: \"say \\\"hi\\\" now\" tail\n"
         "open: \"runs to the end  \n"
         "empty: \"\"\n"
         "tab: \"a\tb\"\n"
         "mixed: 'it\"s'\n");
    EXPECT_EQ(value("dq"), "two words");
    EXPECT_EQ(value("sq"), "single quoted");
    EXPECT_EQ(value("esc"), "say \\\"hi\\\" now");
    EXPECT_EQ(value("open"), "runs to the end  ");
    EXPECT_EQ(look("empty").rc, 1);
    EXPECT_EQ(value("tab"), "a");
    EXPECT_EQ(value("mixed"), "it\"s");
}

TEST_F(Tokens, CommentsAndValuesStartingWithHash) {
    file(0,
         "# db_name: commented\n"
         "   # db_name : also commented\n"
         ": db_name\n"
         "db_name: #not this one\n"
         "db_name: chosen\n"
         "db_name: too_late\n");
    EXPECT_EQ(value("db_name"), "chosen");

    // A value starting with '#' sends the search on to the later files too.
    file(0, "tok: #none\n");
    file(2, "tok: from_site\n");
    EXPECT_EQ(value("tok"), "from_site");
}

TEST_F(Tokens, FileOrderAndEmptyValues) {
    file(0, "a: user\n");
    file(1, "a: prog\nb: prog\n");
    file(2, "a: site\nb: site\nc: site\n");
    file(3, "a: sys\nb: sys\nc: sys\nd: sys\n");
    EXPECT_EQ(value("a"), "user");
    EXPECT_EQ(value("b"), "prog");
    EXPECT_EQ(value("c"), "site");
    EXPECT_EQ(value("d"), "sys");

    // An empty value ends the file; the later lines of that file are not looked at.
    file(0, "db_name:\ndb_name: later_in_user\n");
    file(1, "");
    file(2, "db_name: site_value\n");
    EXPECT_EQ(value("db_name"), "site_value");

    // Unset, missing and unusable files are skipped.
    unsetEnv("APPS_DEFAULTS_USER");
    setEnv("APPS_DEFAULTS_PROG", (dir_.path() / "does-not-exist").string());
    const auto sub = dir_.path() / "a-directory";
    std::filesystem::create_directory(sub);
    setEnv("APPS_DEFAULTS_SITE", sub.string());
    EXPECT_EQ(value("a"), "sys");
}

TEST_F(Tokens, EnvironmentComesFirst) {
    file(0, "db_name: from_file\nref: <$(envtok)>\nouter: $(envref)\nplain: x\n");
    EXPECT_EQ(value("db_name"), "from_file");
    setEnv("db_name", "from_env");
    EXPECT_EQ(value("db_name"), "from_env");
    setEnv("db_name", "");
    EXPECT_EQ(look("db_name").rc, 1);

    setEnv("envtok", "E");
    EXPECT_EQ(value("ref"), "<E>");
    // Looked up itself, a variable's reference stays as it is; spliced into a value, it expands.
    setEnv("envref", "[$(plain)]");
    EXPECT_EQ(value("envref"), "[$(plain)]");
    EXPECT_EQ(value("outer"), "[x]");

    // A value too long to hold is not used, neither directly nor through a reference.
    setEnv("envtok", std::string(601, 'v'));
    EXPECT_EQ(look("envtok").rc, 1);
    EXPECT_EQ(look("ref").rc, 1);
    setEnv("envtok", std::string(600, 'v'));
    EXPECT_EQ(look("envtok").rc, 1);  // holds, but longer than a reply
    setEnv("envtok", std::string(511, 'v'));
    EXPECT_EQ(value("envtok"), std::string(511, 'v'));
}

TEST_F(Tokens, ReferencesExpand) {
    file(0,
         "apps_dir: $(root)/apps\n"
         "nested: $(apps_dir)/bin:$(root)\n"
         "emptyref: a$()b\n"
         "unclosed: a$(root\n"
         "quoted: \"$(root) x\"\n"
         "undefined_only: $(nowhere)\n");
    file(2, "root: /awips\n");
    EXPECT_EQ(value("apps_dir"), "/awips/apps");
    EXPECT_EQ(value("nested"), "/awips/apps/bin:/awips");
    EXPECT_EQ(value("emptyref"), "ab");
    EXPECT_EQ(value("unclosed"), "a$(root");
    EXPECT_EQ(value("quoted"), "/awips x");
    // A value that expands to nothing sends the search on.
    EXPECT_EQ(look("undefined_only").rc, 1);
    file(3, "undefined_only: fallback\n");
    EXPECT_EQ(value("undefined_only"), "fallback");

    file(2, "");
    EXPECT_EQ(value("apps_dir"), "/apps");
}

TEST_F(Tokens, LoopsAndTheResolutionLimit) {
    file(0, "self: $(self)\nping: $(pong)\npong: x$(ping)\nok: fine\n");
    EXPECT_EQ(look("self").rc, 1);
    EXPECT_EQ(look("ping").rc, 1);
    // Each lookup starts afresh.
    EXPECT_EQ(value("ok"), "fine");

    file(0, chain(40));
    EXPECT_EQ(value("t1"), "end");
    file(0, chain(41));
    EXPECT_EQ(look("t1").rc, 1);
    EXPECT_EQ(value("t2"), "end");

    // Forty resolutions across siblings count the same as down a chain.
    std::string wide = "w: ";
    for (int i = 0; i < 39; ++i) wide += "$(leaf)";
    file(0, wide + "\nleaf: L\n");
    EXPECT_EQ(value("w"), std::string(39, 'L'));
    file(0, wide + "$(leaf)\nleaf: L\n");
    EXPECT_EQ(look("w").rc, 1);

    // A variable that refers to itself ends too.
    setEnv("envloop", "$(envloop)");
    file(0, "viaenv: $(envloop)\n");
    EXPECT_EQ(look("viaenv").rc, 1);
    EXPECT_EQ(value("envloop"), "$(envloop)");
}

TEST_F(Tokens, LengthLimits) {
    file(0, "v511: " + std::string(511, 'x') + "\nv512: " + std::string(512, 'x') +
                "\nhalf: " + std::string(300, 'h') + "\ntwice: $(half)$(half)\n" +
                "e1: " + std::string(505, 'y') + "$(six)\nsix: 123456\n" +
                "e2: " + std::string(506, 'y') + "$(six)\n");
    EXPECT_EQ(value("v511"), std::string(511, 'x'));
    EXPECT_EQ(look("v512").rc, 1);
    EXPECT_EQ(look("twice").rc, 1);  // 600 characters: held, but too long for a reply
    EXPECT_EQ(value("e1"), std::string(505, 'y') + "123456");
    EXPECT_EQ(look("e2").rc, 1);

    file(0, "big: " + std::string(400, 'b') + "\nover: $(big)$(big)\nafter: $(over)\n");
    EXPECT_EQ(look("over").rc, 1);
    EXPECT_EQ(look("after").rc, 1);

    // The limit holds while expanding: passing 600 characters on the way is fatal even when
    // later references would shrink the text again.
    std::string vanish25;
    for (int i = 0; i < 25; ++i) vanish25 += "$(e)";
    file(0, "five: " + std::string(500, 'f') + "\nat600: $(five)" + vanish25 +
                "\npast600: $(five)" + vanish25 + "$(e)\n");
    EXPECT_EQ(value("at600"), std::string(500, 'f'));
    EXPECT_EQ(look("past600").rc, 1);
}

TEST_F(Tokens, RequestedNameLength) {
    const std::string n128(128, 'n');
    file(0, "db_name: hdb\n" + n128 + ": long_ok\n" + std::string(200, 'm') + ": too_long\n" +
                "refs: <$(" + std::string(200, 'm') + ")>\n");
    EXPECT_EQ(value(n128), "long_ok");
    EXPECT_EQ(lookN("db_name", 0).rc, 1);
    EXPECT_EQ(lookN("db_name", -5).rc, 1);
    EXPECT_EQ(lookN(n128 + "n", 129).rc, 1);
    EXPECT_EQ(lookN(std::string(200, 'm'), 128).rc, 1);
    // A name field longer than 128 characters matches nothing, and neither does such a reference.
    EXPECT_EQ(value("refs"), "<>");

    // Only the first N characters count; a zero byte ends the name early.
    EXPECT_EQ(lookN("db_nameXYZ", 7).value, "hdb");
    const char embedded[] = {'d', 'b', '_', 'n', 'a', 'm', 'e', '\0', 'Q'};
    int n = 9;
    char reply[kAppsDefaultsReplySize];
    EXPECT_EQ(get_apps_defaults(embedded, &n, reply, &n), 0);
    EXPECT_STREQ(reply, "hdb");
    EXPECT_EQ(n, 3);  // the same int serves as request and reply length
    const char zero[] = {'\0', 'x'};
    n = 2;
    EXPECT_EQ(get_apps_defaults(zero, &n, reply, &n), 1);

    // The name need not be terminated: nothing past N is read.
    const char unterminated[7] = {'d', 'b', '_', 'n', 'a', 'm', 'e'};
    n = 7;
    EXPECT_EQ(get_apps_defaults(unterminated, &n, reply, &n), 0);
    EXPECT_STREQ(reply, "hdb");
}

TEST_F(Tokens, HostileFileContents) {
    std::string hostile;
    hostile += std::string(10000, 'q') + "\n";                 // read in pieces
    hostile += std::string(520, 'p') + "piece: tail_piece\n";  // the second piece reads as a line
    hostile += std::string("nul: ab\0cd\n", 11);
    hostile += std::string("\0hidden: gone\n", 14);
    hostile += "bin\x01: x\n";
    hostile += "\xff\xfe\x80: garbage\n";
    hostile += "utf: caf\xc3\xa9 au lait\n";
    hostile += "bad\xc3: v\n";
    hostile += "ctrl: \x07\x1b[31m\n";
    hostile += "ok: survived\n";
    file(0, hostile);
    EXPECT_EQ(value("piece"), "tail_piece");
    EXPECT_EQ(value("nul"), "ab");
    EXPECT_EQ(look("hidden").rc, 1);
    EXPECT_EQ(look("bin").rc, 1);
    EXPECT_EQ(value("utf"), "caf");
    EXPECT_EQ(look("ctrl").rc, 1);
    EXPECT_EQ(value("ok"), "survived");
    EXPECT_EQ(look(std::string(128, 'q')).rc, 1);
}

TEST_F(Tokens, FilesAreClosedAndVariablesReadAfresh) {
    file(0, "a: $(b)$(b)$(c)\nb: B\n");
    file(1, "c: C\n");
    file(2, "x: 1\n");
    file(3, "y: 2\n");
    const int before = openDescriptors();
    EXPECT_EQ(value("a"), "BBC");
    EXPECT_EQ(look("missing").rc, 1);
    EXPECT_EQ(openDescriptors(), before);

    file(0, "a: replaced\n");
    EXPECT_EQ(value("a"), "replaced");
    unsetEnv("APPS_DEFAULTS_USER");
    EXPECT_EQ(look("a").rc, 1);
}

TEST_F(Tokens, WorkerOutsideALookupFindsNothing) {
    setEnv("db_name", "env_value");
    std::vector<char> v(kAppsDefaultsValueSize, 'Z');
    get_apps_defaults_r("db_name", v.data());
    EXPECT_EQ(std::string(v.data()), "");
}

// Each reading rule that a program may choose, on its own.
TEST_F(Tokens, ColonRightAfterName) {
    TokenRules rules;
    rules.colon_right_after_name = true;
    file(0,
         "spaced another : word\n"
         "twice:: double\n"
         "blank \t: ok\n"
         "glued:value\n"
         "bin\x01: x\n");
    EXPECT_EQ(look("spaced", rules).rc, 1);
    EXPECT_EQ(value("twice", rules), ":");
    EXPECT_EQ(value("blank", rules), "ok");
    EXPECT_EQ(value("glued", rules), "value");
    EXPECT_EQ(look("bin", rules).rc, 1);
    file(0, "twice::double\n");
    EXPECT_EQ(value("twice", rules), ":double");
}

TEST_F(Tokens, HashValueEndsSearchAfterFile) {
    TokenRules rules;
    rules.hash_value_ends_search_after_file = true;
    file(0, "tok: #skip\nother: 1\n");
    file(2, "tok: site\n");
    EXPECT_EQ(look("tok", rules).rc, 1);
    EXPECT_EQ(value("tok"), "site");
    file(0, "tok: #skip\ntok: later\n");
    EXPECT_EQ(value("tok", rules), "later");
}

TEST_F(Tokens, EmptyValueDecides) {
    TokenRules rules;
    rules.empty_value_decides = true;
    file(0, "tok:\ntok: later\nref: $(nowhere)\n");
    file(2, "tok: site\nref: site\n");
    EXPECT_EQ(look("tok", rules).rc, 1);
    EXPECT_EQ(look("ref", rules).rc, 1);
    EXPECT_EQ(value("tok"), "site");
    EXPECT_EQ(value("ref"), "site");
}

}  // namespace
