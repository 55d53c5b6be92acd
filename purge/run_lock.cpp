#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "state_directory.h"

namespace {

constexpr std::size_t kLongestName = 200;  // of the database part, well inside a file name

std::string lock_directory() {
    if (const auto state = state_directory()) {
        return *state;
    }
    const char* run_dir = "/run/trevane";
    if (::access(run_dir, W_OK | X_OK) == 0) {
        return run_dir;
    }
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    return error ? std::string("/tmp") : temp.string();
}

// The pid that the holder wrote; the holder writes it right after taking the lock, so an empty
// file is read again for a moment.
std::string holder_pid(int fd) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        char text[32] = "";
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        std::size_t digits = 0;
        while (n > 0 && digits < static_cast<std::size_t>(n) && text[digits] >= '0' &&
               text[digits] <= '9') {
            ++digits;
        }
        if (digits > 0) {
            return std::string(text, digits);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "unknown";
}

}  // namespace

std::string run_lock_path(std::string_view database) {
    std::string name;
    for (const char c : database.substr(0, kLongestName)) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        name += kept ? c : '_';
    }
    return lock_directory() + "/trevane-" + name + ".lock";
}

RunLock::RunLock(std::string_view database) {
    const std::string path = run_lock_path(database);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        std::printf("trevane: cannot open the lock file %s: %s; the run stops\n", path.c_str(),
                    std::strerror(errno));
        return;
    }
    int locked = 0;
    while ((locked = ::flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        if (errno == EWOULDBLOCK) {
            outcome_ = Outcome::HeldByAnother;
            std::printf(
                "trevane: another run (pid %s) holds the lock of database %.*s (%s); the run "
                "stops\n",
                holder_pid(fd_).c_str(), static_cast<int>(database.size()), database.data(),
                path.c_str());
        } else {
            std::printf("trevane: cannot lock %s: %s; the run stops\n", path.c_str(),
                        std::strerror(errno));
        }
        return;
    }
    outcome_ = Outcome::Held;
    // The pid only informs the run that finds the lock held; the lock holds without it.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        (void)::pwrite(fd_, pid.data(), pid.size(), 0);
    }
}

RunLock::~RunLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}
