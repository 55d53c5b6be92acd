// tokvue: prints the value of one configuration token as the programs of this system read it,
// or an empty line when it has none. Always exits with status 0.

#include <array>
#include <cstdio>
#include <cstring>

#include "get_apps_defaults.h"

namespace {

// How tokvue reads the token files: the first file that holds a line naming the token, with
// its colon right after the name, decides the result, even when that result is empty.
constexpr TokenRules kTokvueRules{
    .colon_right_after_name = true,
    .hash_value_ends_search_after_file = true,
    .empty_value_decides = true,
};

constexpr int kMaxRequestChars = 128;

}  // namespace

namespace tokvue {

// tokvue's entry to the resolver.
int get_apps_defaults(const char* request, const int* request_len, char* reply, int* reply_len) {
    return get_apps_defaults_with_rules(kTokvueRules, request, request_len, reply, reply_len);
}

}  // namespace tokvue

int main(int argc, char** argv) {
    std::array<char, kAppsDefaultsReplySize> reply{};
    if (argc > 1 && argv[1] != nullptr) {
        const int length =
            static_cast<int>(::strnlen(argv[1], static_cast<std::size_t>(kMaxRequestChars)));
        int reply_len = 0;
        tokvue::get_apps_defaults(argv[1], &length, reply.data(), &reply_len);
    }
    std::printf("%s\n", reply.data());
    return 0;
}
