#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Process.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "get_apps_defaults.h"

namespace {

using testsupport::EnvChanges;
using testsupport::RunResult;

const char* const kFileVars[] = {"APPS_DEFAULTS_USER", "APPS_DEFAULTS_PROG", "APPS_DEFAULTS_SITE",
                                 "APPS_DEFAULTS"};

// Token files in a temporary directory, read by tokvue as a process and, in this process, by
// the resolver that trevane uses; the environment is restored afterwards.
class Tokvue : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char* v : kFileVars) {
            process_env_.unset(v);
            env_[v] = std::nullopt;
        }
    }
    void file(int slot, const std::string& contents) {
        const std::string path = dir_.write("tokens" + std::to_string(slot), contents);
        process_env_.set(kFileVars[slot], path);
        env_[kFileVars[slot]] = path;
    }
    void setToken(const std::string& name, const std::string& value) {
        process_env_.set(name, value);
        env_[name] = value;
    }

    RunResult tokvue(const std::vector<std::string>& args) {
        RunResult r = testsupport::runProgram(testsupport::builtProgram("tokvue"), args, env_, 30);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        return r;
    }
    // What tokvue prints for the name, without its line break.
    std::string printed(const std::string& name) {
        const RunResult r = tokvue({name});
        EXPECT_TRUE(!r.out.empty() && r.out.back() == '\n' && r.out.find('\n') == r.out.size() - 1)
            << "not exactly one line: [" << r.out << "]";
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    }
    // What trevane's resolver gives for the same name.
    static std::string resolved(const std::string& name) {
        char reply[kAppsDefaultsReplySize];
        int len = static_cast<int>(name.size());
        get_apps_defaults(name.c_str(), &len, reply, &len);
        return reply;
    }

    testsupport::TempDir dir_;
    EnvChanges env_;

   private:
    testsupport::ScopedEnv process_env_;  // this process's environment, for the in-process resolver
};

TEST_F(Tokvue, PrintsOneLineAndExitsZero) {
    file(0, "db_name: hd_ob83oax\napps_dir: $(root)/apps\n");
    file(2, "root: /awips\n");
    EXPECT_EQ(tokvue({"db_name"}).out, "hd_ob83oax\n");
    EXPECT_EQ(tokvue({"apps_dir"}).out, "/awips/apps\n");
    // Only the first argument counts.
    EXPECT_EQ(tokvue({"db_name", "apps_dir", "--help"}).out, "hd_ob83oax\n");
    EXPECT_EQ(tokvue({}).out, "\n");
    EXPECT_EQ(tokvue({"undefined_anywhere"}).out, "\n");
    EXPECT_EQ(tokvue({""}).out, "\n");
}

TEST_F(Tokvue, LongNamesAreCutTo128) {
    const std::string n128(128, 'k');
    file(0, n128 + ": found_by_prefix\n");
    EXPECT_EQ(printed(std::string(200, 'k')), "found_by_prefix");
    EXPECT_EQ(printed(std::string(200, 'j')), "");
    // A name field longer than 128 characters never matches.
    file(0, std::string(129, 'k') + ": too_long\n");
    EXPECT_EQ(printed(n128), "");
}

TEST_F(Tokvue, EnvironmentValuePrintedUnexpanded) {
    file(0, "root: /awips\nfromfile: $(envtok)\n");
    setToken("envtok", "$(root)/bin");
    EXPECT_EQ(printed("envtok"), "$(root)/bin");
    EXPECT_EQ(printed("fromfile"), "/awips/bin");
    EXPECT_EQ(resolved("envtok"), "$(root)/bin");
    setToken("root", "");
    EXPECT_EQ(printed("root"), "");
}

TEST_F(Tokvue, HostileInput) {
    std::string contents = std::string(10000, 'z') + "\n";
    contents += std::string("nul: a\0b\n", 9);
    contents += "utf: \xc3\xa9t\xc3\xa9\n";
    contents += "self: $(self)\n";
    contents += "ok: fine\n";
    file(0, contents);
    EXPECT_EQ(printed("nul"), "a");
    EXPECT_EQ(printed("utf"), "");
    EXPECT_EQ(printed("self"), "");
    EXPECT_EQ(printed("ok"), "fine");
    EXPECT_EQ(printed("\xff\xfe"), "");
    EXPECT_EQ(printed(std::string(200, 'z')), "");
}

// Where the two programs read the same files alike.
TEST_F(Tokvue, AgreesWithTrevaneResolver) {
    file(0,
         "# db_name: commented out\n"
         "db_name : hd_ob83oax     # the office database\n"
         "quoted: \"two words\"\n"
         "escaped: a\\ b\n"
         "hashfirst: #passed_over\n"
         "hashfirst: second\n"
         "ref: $(root)/x\n");
    file(1, "over: prog\n");
    file(3, "root: /sys\nover: sys\n");
    for (const std::string name :
         {"db_name", "quoted", "escaped", "hashfirst", "ref", "over", "root", "nothing"}) {
        EXPECT_EQ(printed(name), resolved(name)) << name;
    }
    EXPECT_EQ(printed("db_name"), "hd_ob83oax");
    EXPECT_EQ(printed("escaped"), "a\\ b");
    EXPECT_EQ(printed("over"), "prog");
}

// Where they differ: tokvue lets the first file naming the token decide.
TEST_F(Tokvue, DiffersFromTrevaneResolver) {
    file(0, "db_name:\n");
    file(2, "db_name: site_db\n");
    EXPECT_EQ(resolved("db_name"), "site_db");
    EXPECT_EQ(printed("db_name"), "");

    file(0, "db_name: #comment_only\n");
    EXPECT_EQ(resolved("db_name"), "site_db");
    EXPECT_EQ(printed("db_name"), "");

    file(0, "db_name: $(undefined)\n");
    EXPECT_EQ(resolved("db_name"), "site_db");
    EXPECT_EQ(printed("db_name"), "");

    // A blank and a word between the name and the colon.
    file(0, "db_name other: user_db\n");
    EXPECT_EQ(resolved("db_name"), "other:");
    EXPECT_EQ(printed("db_name"), "site_db");

    // A double colon.
    file(0, "db_name:: user_db\n");
    EXPECT_EQ(resolved("db_name"), "user_db");
    EXPECT_EQ(printed("db_name"), ":");
    file(0, "db_name::user_db\n");
    EXPECT_EQ(resolved("db_name"), "user_db");
    EXPECT_EQ(printed("db_name"), ":user_db");
}

std::string commandOutput(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(command.c_str(), "r"), ::pclose);
    if (!p)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
    return out;
}

TEST(TokvueBinary, NeedsNoDatabaseLibrary) {
    const std::string needed =
        commandOutput("readelf -d '" + testsupport::builtProgram("tokvue") + "' 2>&1");
    ASSERT_NE(needed.find("(NEEDED)"), std::string::npos) << needed;
    EXPECT_NE(needed.find("libc.so"), std::string::npos) << needed;
    for (const char* lib : {"libpq", "libecpg", "libpgtypes"}) {
        EXPECT_EQ(needed.find(lib), std::string::npos) << lib << " in\n" << needed;
    }
}

}  // namespace
