#include "pending_grid_files.h"
#include "write_all.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <string_view>

namespace {

constexpr std::string_view kHeader = "trevane pending radar grid files 1";

// A descriptor closed when it dies.
class Fd {
   public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes it now; false when the close reports a failure (errno tells).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

   private:
    int fd_;
};

std::string reason(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// The directory part of `path` ("." when it has none).
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Syncs the directory that holds `path`, so that a rename or removal in it survives a crash.
bool sync_directory_of(const std::string& path, std::string& error) {
    const Fd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
        error = reason("syncing its directory", errno);
        return false;
    }
    return true;
}

// A path is written with every byte outside the graphic ASCII characters, and '%', as %XX, so
// that any name fits on its line.
std::string encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c >= 0x7f || c == '%') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += ch;
        }
    }
    return out;
}

std::optional<std::string> decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        unsigned value = 0;
        const char* first = text.data() + i + 1;
        if (i + 2 >= text.size() || std::from_chars(first, first + 2, value, 16).ptr != first + 2) {
            return std::nullopt;
        }
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

template <class Int>
bool take_number(std::string_view& line, Int& value) {
    const std::size_t end = line.find(' ');
    if (end == std::string_view::npos) {
        return false;
    }
    const auto [ptr, ec] = std::from_chars(line.data(), line.data() + end, value);
    if (ec != std::errc() || ptr != line.data() + end) {
        return false;
    }
    line.remove_prefix(end + 1);
    return true;
}

std::optional<PendingGridFile> parse_entry(std::string_view line) {
    PendingGridFile file;
    if (!take_number(line, file.obstime) || !take_number(line, file.device) ||
        !take_number(line, file.inode) || !take_number(line, file.mtime_ns)) {
        return std::nullopt;
    }
    std::optional<std::string> path = decode(line);
    if (!path || path->empty()) {
        return std::nullopt;
    }
    file.path = std::move(*path);
    return file;
}

}  // namespace

std::string pending_list_path(const std::string& directory) {
    return directory + "/radar-grid-files.pending";
}

std::optional<std::vector<PendingGridFile>> read_pending_list(const std::string& path,
                                                              std::string& error) {
    std::vector<PendingGridFile> files;
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return files;
        }
        error = reason("reading it", errno);
        return std::nullopt;
    }
    std::string text;
    char block[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = reason("reading it", errno);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        text.append(block, static_cast<std::size_t>(n));
    }
    std::string_view rest(text);
    const auto next_line = [&rest](std::string_view& line) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) {
            return false;  // every line of the list ends with its line break
        }
        line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        return true;
    };
    std::string_view line;
    if (!next_line(line) || line != kHeader) {
        error = "it is not a list of pending grid files";
        return std::nullopt;
    }
    for (int number = 2; next_line(line); ++number) {
        std::optional<PendingGridFile> file = parse_entry(line);
        if (!file) {
            error = "line " + std::to_string(number) + " is not a pending grid file";
            return std::nullopt;
        }
        files.push_back(std::move(*file));
    }
    if (!rest.empty()) {
        error = "its last line is cut";
        return std::nullopt;
    }
    return files;
}

bool write_pending_list(const std::string& path, const std::vector<PendingGridFile>& files,
                        std::string& error) {
    if (files.empty()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = reason("removing it", errno);
            return false;
        }
        return sync_directory_of(path, error);
    }
    std::ostringstream text;
    text << kHeader << '\n';
    for (const PendingGridFile& f : files) {
        text << f.obstime << ' ' << f.device << ' ' << f.inode << ' ' << f.mtime_ns << ' '
             << encode(f.path) << '\n';
    }
    // A reader sees the old list or the new one whole, never a part of either.
    std::string temporary = path + ".XXXXXX";
    Fd fd(::mkstemp(temporary.data()));
    if (fd.get() < 0) {
        error = reason("creating it", errno);
        return false;
    }
    const bool placed = write_all(fd.get(), text.str()) && ::fsync(fd.get()) == 0 && fd.close() &&
                        std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!placed) {
        error = reason("writing it", errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return sync_directory_of(path, error);
}

int identify_grid_file(PendingGridFile& file) {
    struct stat st {};
    if (::lstat(file.path.c_str(), &st) != 0) {
        return errno;
    }
    file.device = st.st_dev;
    file.inode = st.st_ino;
    file.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
}

ListedFile look_at_listed_file(const PendingGridFile& file) {
    PendingGridFile now = file;
    const int error = identify_grid_file(now);
    if (error == ENOENT) {
        return ListedFile::Gone;
    }
    if (error != 0 || now.device != file.device || now.inode != file.inode ||
        now.mtime_ns != file.mtime_ns) {
        return ListedFile::Changed;
    }
    return ListedFile::Same;
}
