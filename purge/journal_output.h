#pragma once

#include <string_view>

// The journal's priorities. When standard output is the journal's stream ($JOURNAL_STREAM, the
// "DEV:INODE" that systemd sets, names the descriptor), each line that reports a failure is
// written with the prefix "<3>" and each line that says a key was left alone with "<4>", which
// the journal takes as the line's priority and drops; all other lines go as they are. Standard
// error, when it is the journal too, is treated alike. Anywhere else (a terminal, a file, a
// pipe) nothing is put in front of the output: its bytes are the same as without this layer.

enum class OutputStream { Out, Err };

// The prefix of one complete line (without its line break) written to `stream`: "<3>", "<4>" or
// "". `previous` is the prefix of the line before it on the same stream, which the second line of
// a message takes over.
std::string_view journal_prefix(OutputStream stream, std::string_view line,
                                std::string_view previous);

// True when the descriptor `fd` is the stream that `journal_stream` ("DEV:INODE") names.
bool is_journal_stream(int fd, const char* journal_stream);

// Puts the layer in front of standard output and of standard error, each where it is the
// journal's stream. Called once, first thing, before anything is printed.
void use_journal_priorities();
