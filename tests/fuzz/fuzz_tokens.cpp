// Token resolution over arbitrary token files and names, under both sets of reading rules.
// Input: the requested name, a newline, then the contents of the token file. The first line of
// the file, up to its first blank or colon, is looked up as well, so lines that match are met
// often.

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "get_apps_defaults.h"

namespace {

std::string token_file;

void check_reply(int rc, const char* reply, int reply_len) {
    const std::size_t len = ::strnlen(reply, kAppsDefaultsReplySize);
    if (len >= static_cast<std::size_t>(kAppsDefaultsReplySize) ||
        static_cast<int>(len) != reply_len || (rc == 0) != (len > 0) || (rc != 0 && rc != 1)) {
        std::fprintf(stderr, "bad reply: rc %d, length %d, text length %zu\n", rc, reply_len, len);
        std::abort();
    }
}

void resolve(const std::string& name) {
    static constexpr TokenRules kTokvue{true, true, true};
    for (const TokenRules& rules : {TokenRules{}, kTokvue}) {
        // Room past the reply's 512 bytes is left unwritten.
        char reply[kAppsDefaultsReplySize + 16];
        std::memset(reply, 0x5a, sizeof reply);
        int len = static_cast<int>(name.size());
        int reply_len = -1;
        const int rc = get_apps_defaults_with_rules(rules, name.data(), &len, reply, &reply_len);
        check_reply(rc, reply, reply_len);
        for (std::size_t i = kAppsDefaultsReplySize; i < sizeof reply; ++i) {
            if (reply[i] != 0x5a) {
                std::fprintf(stderr, "reply written past its 512 bytes\n");
                std::abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A file in memory when the system offers one: the file is rewritten for every input.
    char path[] = "/dev/shm/fuzz_tokens.XXXXXX";
    char fallback[] = "/tmp/fuzz_tokens.XXXXXX";
    int fd = mkstemp(path);
    token_file = path;
    if (fd < 0) {
        fd = mkstemp(fallback);
        token_file = fallback;
    }
    if (fd < 0)
        std::abort();
    close(fd);
    std::atexit([] { unlink(token_file.c_str()); });
    setenv("APPS_DEFAULTS", token_file.c_str(), 1);
    unsetenv("APPS_DEFAULTS_USER");
    unsetenv("APPS_DEFAULTS_PROG");
    unsetenv("APPS_DEFAULTS_SITE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t nl = input.find('\n');
    std::string name = input.substr(0, nl);
    const std::string contents = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    if (name.size() > 128)
        name.resize(128);

    FILE* f = std::fopen(token_file.c_str(), "wb");
    if (f == nullptr)
        std::abort();
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);

    if (!name.empty())
        resolve(name);
    const std::string first = contents.substr(0, contents.find_first_of(" \t:\n"));
    if (!first.empty() && first.size() <= 128)
        resolve(first);

    // The worker outside a lookup finds nothing.
    char value[kAppsDefaultsValueSize];
    std::memset(value, 'x', sizeof value);
    get_apps_defaults_r(first.c_str(), value);
    if (value[0] != '\0') {
        std::fprintf(stderr, "worker found a value outside a lookup\n");
        std::abort();
    }
    return 0;
}
