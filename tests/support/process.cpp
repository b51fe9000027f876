#include "support/process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace tessaro::test {

namespace {

std::array<int, 2> Pipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    return fds;
}

// Pointers to the strings, ended by a null pointer, as exec takes them.
std::vector<char *> Pointers(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (auto &s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input,
                         const std::map<std::string, std::string> &env,
                         std::chrono::seconds timeout) {
    std::map<std::string, std::string> merged;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        merged[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    for (const auto &[k, v] : env) {
        merged[k] = v;
    }
    std::vector<std::string> envStrings, args = argv;
    for (const auto &[k, v] : merged) {
        envStrings.push_back(k + "=" + v);
    }
    const auto envp = Pointers(envStrings);
    const auto argp = Pointers(args);
    const auto in = Pipe(), out = Pipe(), err = Pipe();
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
    ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::array<int, 2> open = {out[0], err[0]};
    std::string *const outputs[] = {&result.out, &result.err};
    std::array<char, 65536> buf{};
    while (open[0] >= 0 || open[1] >= 0) {
        if (inFd >= 0 && written == input.size()) {
            ::close(inFd);
            inFd = -1;
        }
        std::array<pollfd, 3> fds{{{open[0], POLLIN, 0}, {open[1], POLLIN, 0}, {inFd, POLLOUT, 0}}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < 2; ++i) {
            if (fds[i].revents != 0) {
                const auto n = ::read(open[i], buf.data(), buf.size());
                if (n > 0) {
                    outputs[i]->append(buf.data(), static_cast<std::size_t>(n));
                } else {
                    ::close(std::exchange(open[i], -1));
                }
            }
        }
        if (fds[2].revents != 0) {
            const auto n = ::write(inFd, input.data() + written, input.size() - written);
            written = n < 0 ? input.size() : written + static_cast<std::size_t>(n);
        }
    }
    for (const int fd : {inFd, open[0], open[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace tessaro::test
