#include "support/terminal.h"

#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaro::test {

TerminalRun RunOnTerminal(const std::vector<std::string> &argv,
                          const std::vector<std::pair<std::string, std::string>> &answers,
                          const std::map<std::string, std::string> &env,
                          std::chrono::seconds timeout) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        throw std::runtime_error("forkpty failed");
    }
    if (pid == 0) {
        for (const auto &[k, v] : env) {
            ::setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<std::string> copy = argv;
        std::vector<char *> args;
        for (auto &a : copy)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    TerminalRun run;
    std::size_t next = 0;
    std::size_t searchFrom = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            const auto n = ::read(master, buf, sizeof buf);
            if (n <= 0) {
                break; // the program closed the terminal: it has ended
            }
            run.screen.append(buf, static_cast<std::size_t>(n));
        }
        if (next < answers.size()) {
            const auto at = run.screen.find(answers[next].first, searchFrom);
            if (at != std::string::npos) {
                const std::string &typed = answers[next].second;
                (void)!::write(master, typed.data(), typed.size());
                searchFrom = at + answers[next].first.size();
                ++next;
            }
        }
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(master);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

} // namespace tessaro::test
