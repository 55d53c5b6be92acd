#include "EsqlCursor.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace esql {

namespace {

// Appends `value` in base 36 (digits, then a-z), at least `width` characters.
void append_base36(std::string& out, unsigned long long value, std::size_t width) {
    char digits[16];
    std::size_t n = 0;
    do {
        const auto d = static_cast<int>(value % 36);
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
        value /= 36;
    } while (value != 0 && n < sizeof digits);
    for (; n < width; ++n) {
        digits[n] = '0';
    }
    while (n > 0) {
        out += digits[--n];
    }
}

// The token of this run: its process id in 5 characters and its start in milliseconds since
// 1970 in 8 (both fixed, so that no two runs give the same token), made afresh in a forked
// process.
const std::string& run_token() {
    static std::string token;
    static pid_t made_for = 0;
    const pid_t pid = getpid();
    if (made_for != pid) {
        const auto started = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        token.clear();
        append_base36(token, static_cast<unsigned long long>(pid), 5);
        append_base36(token, static_cast<unsigned long long>(started), 8);
        made_for = pid;
    }
    return token;
}

// A name for the next declare of the run: `described`, "_", the run's token and the declare's
// number.
std::string next_name(const std::string& described) {
    static unsigned long long declares = 0;
    std::string name = described + "_" + run_token();
    append_base36(name, ++declares, 1);
    return name;
}

}  // namespace

Cursor::Cursor(std::string_view declare) {
    // "declare <name> ..."
    const std::size_t start = declare.find_first_not_of(' ', declare.find(' '));
    const std::size_t end = std::min(declare.find(' ', start), declare.size());
    head_ = declare.substr(0, start);
    described_ = declare.substr(start, end - start);
    tail_ = declare.substr(end);
    name_ = described_;
}

Cursor::~Cursor() {
    if (open_) {
        close();
    }
}

Result Cursor::declare(const std::string& tail, Where where) {
    if (open_) {
        close(where);
    }
    name_ = next_name(described_);
    fetch_ = "fetch " + name_;
    close_ = "close " + name_;
    const std::string text = head_ + name_ + tail;
    Result r = exec(text.c_str(), none, none, {}, where);
    // A cursor of a name that no one else uses is there already: the server session is shared,
    // and what it keeps was not left there by this run.
    if (std::strcmp(r.state, "42P03") == 0) {
        detail::halt_with(Halt::NoSessionCursors, r);
    }
    open_ = !r.failed();
    return r;
}

Result Cursor::settled_step(Result r) {
    // The cursor this process opened is not where the statement went: the server does not keep
    // cursors from one statement to the next, as behind a pooler in transaction mode.
    if (r.failed() && std::strcmp(r.state, "34000") == 0) {
        detail::halt_with(Halt::NoSessionCursors, r);
    }
    return r;
}

Result Cursor::open(const char* prepared_name, Where where) {
    const std::string* text = detail::prepared_text(prepared_name, static_cast<int>(where.line()));
    if (text == nullptr) {
        return detail::last_result();
    }
    // The final "?" of the declare text stands for the prepared text.
    std::string tail = tail_;
    if (!tail.empty() && tail.back() == '?') {
        tail.pop_back();
    }
    return declare(tail + *text, where);
}

Result Cursor::open(Where where) {
    return declare(tail_, where);
}

Result Cursor::close(Where where) {
    const bool was_open = open_;
    open_ = false;
    Result r = exec(close_.c_str(), none, none, {}, where);
    return was_open ? settled_step(std::move(r)) : r;
}

}  // namespace esql
