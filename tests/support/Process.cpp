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

RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const EnvChanges& env, int timeoutSeconds) {
    TempDir tmp;
    const std::string outPath = (tmp.path() / "out").string();
    const std::string errPath = (tmp.path() / "err").string();

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

    RunResult result;
    const pid_t pid = fork();
    if (pid == 0) {
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
    if (pid < 0)
        return result;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int wstatus = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &wstatus, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.status = 128 + WTERMSIG(wstatus);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::string builtProgram(const std::string& name) {
    return std::string(TREVANE_BINARY_DIR) + "/bin/" + name;
}

}  // namespace testsupport
