#include "support/process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace tessaro::test {

namespace {

void MakePipe(std::array<int, 2> &fds) {
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input,
                         const std::map<std::string, std::string> &env,
                         std::chrono::seconds timeout) {
    std::array<int, 2> in{}, out{}, err{};
    MakePipe(in);
    MakePipe(out);
    MakePipe(err);

    std::map<std::string, std::string> merged;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        merged[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    for (const auto &[k, v] : env) {
        merged[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto &[k, v] : merged) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char *> envp;
    for (auto &s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char *> argp;
    for (auto &s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    ProcessResult result;
    std::size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    } else {
        ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    std::array<char, 65536> buf{};
    while (outOpen || errOpen) {
        std::vector<pollfd> fds;
        if (outOpen)
            fds.push_back({out[0], POLLIN, 0});
        if (errOpen)
            fds.push_back({err[0], POLLIN, 0});
        if (inFd >= 0)
            fds.push_back({inFd, POLLOUT, 0});
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (const auto &p : fds) {
            if (p.revents == 0) {
                continue;
            }
            if (p.fd == inFd) {
                const auto n = ::write(inFd, input.data() + written, input.size() - written);
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                }
                if (n < 0 || written == input.size()) {
                    ::close(inFd);
                    inFd = -1;
                }
                continue;
            }
            const auto n = ::read(p.fd, buf.data(), buf.size());
            if (n <= 0) {
                (p.fd == out[0] ? outOpen : errOpen) = false;
            } else {
                (p.fd == out[0] ? result.out : result.err)
                    .append(buf.data(), static_cast<std::size_t>(n));
            }
        }
    }
    if (inFd >= 0) {
        ::close(inFd);
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.maxRssKb = usage.ru_maxrss;
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitCode = 128 + WTERMSIG(status);
    }
    return result;
}

} // namespace tessaro::test
