#pragma once

// Named cursors WITH HOLD on the session.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "EsqlHostVars.h"
#include "EsqlSession.h"

namespace esql {

// A named cursor WITH HOLD. It opens over a prepared statement (or over the complete text of its
// declare statement), fetches into host variables and closes with a status; one still open when
// its scope ends is closed then.
//
// Every declare gives the cursor a name of its own: the name of its declare statement, "_" and a
// token that no other declare uses (letters a-z and digits: the process id and start time of the
// run, then the declare's number in the run), such as tcur1_2k1x0lz3q8ug1. A cursor left on a
// server session by an earlier run, or by a close of this run that failed, can never answer for
// this one, and never makes a later declare fail.
class Cursor {
   public:
    // `declare` is the cursor's declare statement, such as "declare tcur1  cursor with hold
    // for ?", where a final "?" stands for the text of the statement open() is given.
    explicit Cursor(std::string_view declare);
    ~Cursor();
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // Declares and opens the cursor over the statement prepared under `prepared_name`, under a
    // new name; one still open is closed first.
    Result open(const char* prepared_name, Where where = Where::current());
    // Declares and opens the cursor with its declare text as it stands.
    Result open(Where where = Where::current());

    // Fetches the next row into `into`.
    template <std::size_t N>
    Result fetch(const std::array<HostVar, N>& into, Options opt = {},
                 Where where = Where::current()) {
        Result r = exec(fetch_.c_str(), none, into, opt, where);
        return open_ ? settled_step(std::move(r)) : r;
    }

    // Closes the cursor; it counts as closed whatever the outcome.
    Result close(Where where = Where::current());

    // The name of the last declare; before the first, the name in the declare statement.
    const std::string& name() const { return name_; }
    bool is_open() const { return open_; }

   private:
    // Declares the cursor under a new name with `tail` (what follows the name in the declare
    // statement, its final "?" replaced).
    Result declare(const std::string& tail, Where where);
    // A fetch or close of the open cursor that finds no such cursor (34000) stops the run: the
    // server does not keep cursors from one statement to the next, as behind a pooler in
    // transaction mode.
    Result settled_step(Result r);

    std::string described_;  // the name in the declare statement
    std::string head_;       // the declare statement before the name
    std::string tail_;       // and after it
    std::string name_;
    std::string fetch_;
    std::string close_;
    bool open_ = false;
};

}  // namespace esql
