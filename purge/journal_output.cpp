#include "journal_output.h"
#include "write_all.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

enum class Shape {
    Prefix,    // the line begins with the text
    Indented,  // the line begins with the text after blanks
    Contains,  // the text stands anywhere in the line
};

enum class Priority {
    None,      // no prefix
    Error,     // "<3>": the line reports a failure
    Warning,   // "<4>": the line says a key was left alone
    Previous,  // the second line of a message: the prefix of the line before
};

struct Shaped {
    OutputStream stream;
    Shape shape;
    std::string_view text;
    Priority priority;
};

// Every line shape with a priority, the first that fits wins. A line of standard output that
// fits none has no prefix; one of standard error, where only failures are reported, has "<3>".
constexpr Shaped kShapes[] = {
    // A key left alone, whatever failure made it so.
    {OutputStream::Out, Shape::Contains, "left alone", Priority::Warning},
    {OutputStream::Out, Shape::Prefix, "Skipping PurgeDynData row", Priority::Warning},
    {OutputStream::Out, Shape::Prefix, "Location station ", Priority::Warning},
    // The lines that go on with the message before.
    {OutputStream::Out, Shape::Prefix, "   (where clause: ", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "  where=", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "   (reason: ", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "   (listed in ", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "failed in the call to gmtime", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "The supplied value, ", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "\"time_t\" value.", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "macro. Check to make sure", Priority::Previous},
    {OutputStream::Out, Shape::Prefix, "has been set large enough.", Priority::Previous},
    // Failures.
    {OutputStream::Out, Shape::Indented, "ERROR", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "PostgreSQL error ", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "Informix error ", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "Error ", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "error ", Priority::Error},
    {OutputStream::Out, Shape::Contains, "; the run stops", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "The client library says: ", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "The server rejects ", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "Could not write the metrics file ", Priority::Error},
    {OutputStream::Out, Shape::Indented, "Could not parse the LoadUnique output.", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "Location could not be read", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "          -- lid lookup failed", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "Invalid type-source specified", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "The conversion from a \"time_t\" value", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "The the call to \"strftime\" failed", Priority::Error},
    // The statement of a failed delete, printed (unindented) just before its error.
    {OutputStream::Out, Shape::Prefix, "DELETE FROM ", Priority::Error},
    {OutputStream::Out, Shape::Prefix, "SELECT count(*) FROM ", Priority::Error},
    // The server's notices that the client library passes on are no failures of the run.
    {OutputStream::Err, Shape::Prefix, "NOTICE:", Priority::None},
    {OutputStream::Err, Shape::Prefix, "WARNING:", Priority::None},
    {OutputStream::Err, Shape::Prefix, "INFO:", Priority::None},
    {OutputStream::Err, Shape::Prefix, "LOG:", Priority::None},
    {OutputStream::Err, Shape::Prefix, "DEBUG:", Priority::None},
    {OutputStream::Err, Shape::Prefix, "DETAIL:", Priority::Previous},
    {OutputStream::Err, Shape::Prefix, "HINT:", Priority::Previous},
};

bool fits(const Shaped& s, std::string_view line) {
    switch (s.shape) {
        case Shape::Prefix:
            return line.substr(0, s.text.size()) == s.text;
        case Shape::Indented: {
            const std::size_t start = line.find_first_not_of(' ');
            return start != std::string_view::npos && line.substr(start, s.text.size()) == s.text;
        }
        case Shape::Contains:
            return line.find(s.text) != std::string_view::npos;
    }
    return false;
}

std::string_view prefix_of(Priority priority, std::string_view previous) {
    switch (priority) {
        case Priority::None:
            return "";
        case Priority::Error:
            return "<3>";
        case Priority::Warning:
            return "<4>";
        case Priority::Previous:
            return previous;
    }
    return "";
}

// One standard stream behind the layer: what it has of a line not yet ended, and the prefix of
// its last line.
struct JournalStream {
    int fd;
    OutputStream stream;
    std::string pending;
    std::string_view previous;
    bool ending = false;  // the process is ending: what is left goes out as it is
};

// Writes the complete lines of `s.pending`, each behind its prefix (and, at the end of the
// process, what is left of a line).
bool emit(JournalStream& s) {
    std::string out;
    std::size_t start = 0;
    while (start < s.pending.size()) {
        const std::size_t end = s.pending.find('\n', start);
        if (end == std::string::npos && !s.ending) {
            break;
        }
        const std::size_t stop = end == std::string::npos ? s.pending.size() : end + 1;
        const std::string_view line(s.pending.data() + start, stop - start);
        s.previous = journal_prefix(s.stream, line.substr(0, end - start), s.previous);
        out += s.previous;
        out += line;
        start = stop;
    }
    s.pending.erase(0, start);
    return write_all(s.fd, out);
}

extern "C" ssize_t journal_write(void* cookie, const char* data, size_t size) {
    auto& s = *static_cast<JournalStream*>(cookie);
    s.pending.append(data, size);
    return emit(s) ? static_cast<ssize_t>(size) : -1;
}

// The streams behind the layer; they live as long as the process, so that output written while
// it ends still finds them.
JournalStream* g_out = nullptr;
JournalStream* g_err = nullptr;

extern "C" void finish_journal_streams() {
    for (JournalStream* s : {g_out, g_err}) {
        if (s != nullptr) {
            std::fflush(s->stream == OutputStream::Out ? stdout : stderr);
            s->ending = true;
            emit(*s);
        }
    }
}

// A stream behind the layer in place of `fd`'s; nullptr when it cannot be made.
FILE* journal_file(JournalStream* s, bool unbuffered) {
    const cookie_io_functions_t functions{nullptr, journal_write, nullptr, nullptr};
    FILE* file = fopencookie(s, "w", functions);
    if (file != nullptr && unbuffered) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

}  // namespace

std::string_view journal_prefix(OutputStream stream, std::string_view line,
                                std::string_view previous) {
    for (const Shaped& s : kShapes) {
        if (s.stream == stream && fits(s, line)) {
            return prefix_of(s.priority, previous);
        }
    }
    return stream == OutputStream::Err ? "<3>" : "";
}

bool is_journal_stream(int fd, const char* journal_stream) {
    if (journal_stream == nullptr) {
        return false;
    }
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    char rest = 0;
    if (std::sscanf(journal_stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2) {
        return false;
    }
    struct stat st {};
    return ::fstat(fd, &st) == 0 && static_cast<std::uintmax_t>(st.st_dev) == device &&
           static_cast<std::uintmax_t>(st.st_ino) == inode;
}

void use_journal_priorities() {
    const char* journal = std::getenv("JOURNAL_STREAM");
    const bool out = is_journal_stream(STDOUT_FILENO, journal);
    const bool err = is_journal_stream(STDERR_FILENO, journal);
    if (!out && !err) {
        return;
    }
    if (out) {
        g_out = new JournalStream{STDOUT_FILENO, OutputStream::Out, {}, {}};
        if (FILE* file = journal_file(g_out, false)) {
            std::fflush(stdout);
            stdout = file;
        }
    }
    if (err) {
        g_err = new JournalStream{STDERR_FILENO, OutputStream::Err, {}, {}};
        if (FILE* file = journal_file(g_err, true)) {
            stderr = file;
        }
    }
    std::atexit(finish_journal_streams);
}
