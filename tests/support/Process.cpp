#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "TempDir.h"

extern char** environ;

namespace testsupport {

Child::Child(const std::string& path, const std::vector<std::string>& args, const EnvChanges& env)
    : dir_(std::make_unique<TempDir>()) {
    const std::string outPath = (dir_->path() / "out").string();
    const std::string errPath = (dir_->path() / "err").string();

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        if (env.count(key) == 0) {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [key, value] : env) {
        if (value) {
            envStrings.push_back(key + "=" + *value);
        }
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int wstatus = 0;
        waitpid(pid_, &wstatus, 0);
    }
}

bool Child::signal(int signo) const {
    return pid_ > 0 && kill(pid_, signo) == 0;
}

std::string Child::out() const {
    return readFile(dir_->path() / "out");
}

RunResult Child::wait(int timeoutSeconds) {
    RunResult result;
    if (pid_ < 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int wstatus = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &wstatus, WNOHANG);
        if (done == pid_)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &wstatus, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
        result.status = 128 + result.signal;
    }
    result.out = readFile(dir_->path() / "out");
    result.err = readFile(dir_->path() / "err");
    return result;
}

RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const EnvChanges& env, int timeoutSeconds) {
    Child child(path, args, env);
    return child.wait(timeoutSeconds);
}

std::string builtProgram(const std::string& name) {
    return std::string(TREVANE_BINARY_DIR) + "/bin/" + name;
}

}  // namespace testsupport
