// A TCP relay for the tests, listening on 127.0.0.1 only: every connection it accepts is
// joined to a PostgreSQL Unix socket, so that a test can cut a client's connection by killing
// the relay. With --silent it accepts connections and never says anything to them (it prints
// "accepted" for each); with --then-silent it relays the first connection and is silent to every
// later one (a cancel request, say).
//
//   tcp_relay SOCKET_PATH [--then-silent] | --silent
//
// Prints the port it listens on, then relays until it is killed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int connect_unix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const bool then_silent = argc == 3 && std::string(argv[2]) == "--then-silent";
    if (argc != 2 && !then_silent) {
        std::fprintf(stderr, "usage: tcp_relay SOCKET_PATH [--then-silent] | --silent\n");
        return 2;
    }
    const std::string target = argv[1];
    const bool silent = target == "--silent";
    int relayed = 0;

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("tcp_relay");
        return 1;
    }
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    // Pairs of joined sockets: fds[2k] and fds[2k + 1]; -1 once a pair is closed.
    std::vector<int> fds;
    for (;;) {
        std::vector<pollfd> watch{{listener, POLLIN, 0}};
        // A pair without a server side is a silent one: nothing of it is read.
        for (std::size_t i = 0; !silent && i < fds.size(); ++i) {
            watch.push_back({fds[i ^ 1U] < 0 ? -1 : fds[i], POLLIN, 0});
        }
        if (poll(watch.data(), watch.size(), -1) < 0)
            continue;
        if (watch[0].revents & POLLIN) {
            const int client = accept(listener, nullptr, nullptr);
            const bool quiet = silent || (then_silent && relayed > 0);
            const int server = quiet ? -1 : connect_unix(target);
            relayed += quiet ? 0 : 1;
            if (client >= 0 && (quiet || server >= 0)) {
                fds.push_back(client);
                fds.push_back(server);
                if (quiet) {
                    std::printf("accepted\n");
                    std::fflush(stdout);
                }
            } else if (client >= 0) {
                close(client);
            }
        }
        for (std::size_t i = 1; !silent && i < watch.size(); ++i) {
            if (watch[i].fd < 0 || (watch[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const std::size_t self = i - 1;
            const std::size_t peer = self ^ 1U;
            char buf[65536];
            const ssize_t n = read(fds[self], buf, sizeof buf);
            bool ok = n > 0;
            for (ssize_t done = 0; ok && done < n;) {
                const ssize_t w = write(fds[peer], buf + done, static_cast<std::size_t>(n - done));
                ok = w > 0;
                done += w > 0 ? w : 0;
            }
            if (!ok) {
                close(fds[self]);
                close(fds[peer]);
                fds[self] = fds[peer] = -1;
            }
        }
    }
}
