#include "EsqlCursor.h"

#include <cstring>

namespace esql {

Cursor::Cursor(std::string_view declare) : declare_(declare) {
    // "declare <name> ..."
    const std::size_t start = declare_.find_first_not_of(' ', declare_.find(' '));
    const std::size_t end = declare_.find(' ', start);
    name_ = declare_.substr(start, end - start);
    fetch_ = "fetch " + name_;
    close_ = "close " + name_;
}

Cursor::~Cursor() {
    if (open_) {
        close();
    }
}

Result Cursor::declare(const char* text, Where where) {
    Result r = exec(text, none, none, {}, where);
    // A cursor of this name that this process has not opened (nor failed to close): the server
    // session is shared with others, and what it keeps was left there by someone else.
    if (!open_ && std::strcmp(r.state, "42P03") == 0 && !detail::close_failed(name_)) {
        detail::halt_with(Halt::NoSessionCursors, r);
    }
    // Declaring it again while it is open fails and leaves it open.
    open_ = open_ || !r.failed();
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
    std::string statement = declare_;
    if (!statement.empty() && statement.back() == '?') {
        statement.pop_back();
    }
    statement += *text;
    return declare(statement.c_str(), where);
}

Result Cursor::open(Where where) {
    return declare(declare_.c_str(), where);
}

Result Cursor::close(Where where) {
    const bool was_open = open_;
    open_ = false;
    Result r = exec(close_.c_str(), none, none, {}, where);
    detail::note_close(name_, r.failed());
    return was_open ? settled_step(std::move(r)) : r;
}

}  // namespace esql
