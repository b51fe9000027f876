#include "support/process.h"
#include "support/terminal.h"

#include <csignal>
#include <cstring>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tessaro::test {

namespace {

using Clock = std::chrono::steady_clock;

// An anonymous file for one standard stream of the child: a file rather than a pipe, so that
// the child may write any amount with nobody reading, and the test reads it once it has ended.
int MemoryFile(const std::string &content) {
    const int fd = ::memfd_create("tessaro-test-stream", MFD_CLOEXEC);
    if (fd < 0 ||
        ::pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())) {
        throw std::runtime_error(std::string("memfd: ") + std::strerror(errno));
    }
    return fd;
}

std::string ReadAndClose(int fd) {
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    const auto n = ::pread(fd, text.data(), text.size(), 0);
    ::close(fd);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

// The command line that runs argv through env(1), which adds the variables to the test's own
// environment.
std::vector<std::string> WithEnvironment(const std::vector<std::string> &argv,
                                         const std::map<std::string, std::string> &env) {
    std::vector<std::string> args = {"/usr/bin/env"};
    for (const auto &[name, value] : env) {
        args.push_back(name + "=" + value);
    }
    args.insert(args.end(), argv.begin(), argv.end());
    return args;
}

// Starts the command line in the child that forkFunction makes (and may give its streams).
// Everything the child uses is made before, since only the thread that forked lives on in it.
template <typename Fork> pid_t Start(std::vector<std::string> args, Fork forkFunction) {
    std::vector<char *> pointers;
    for (auto &arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    const pid_t pid = forkFunction();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for the child to end, killing it at the deadline; returns its exit status, or 128 plus
// the number of the signal that ended it.
int Wait(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input,
                         const std::map<std::string, std::string> &env,
                         std::chrono::seconds timeout) {
    const int fds[] = {MemoryFile(input), MemoryFile({}), MemoryFile({})};
    const pid_t pid = Start(WithEnvironment(argv, env), [&] {
        const pid_t child = ::fork();
        if (child == 0) { // the child's standard streams
            for (int stream = 0; stream < 3; ++stream) {
                ::dup2(fds[stream], stream);
            }
        }
        return child;
    });
    ProcessResult result;
    result.exitCode = Wait(pid, Clock::now() + timeout);
    ::close(fds[0]);
    result.out = ReadAndClose(fds[1]);
    result.err = ReadAndClose(fds[2]);
    return result;
}

TerminalRun RunOnTerminal(const std::vector<std::string> &argv,
                          const std::vector<std::pair<std::string, std::string>> &answers,
                          const std::map<std::string, std::string> &env,
                          std::chrono::seconds timeout) {
    int master = -1;
    const pid_t pid = Start(WithEnvironment(argv, env),
                            [&] { return ::forkpty(&master, nullptr, nullptr, nullptr); });
    // Reads the screen until the program closes the terminal, typing each answer once its
    // prompt shows after the previous one.
    TerminalRun run;
    std::size_t next = 0, searchFrom = 0;
    char buffer[4096];
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
        pollfd readable{master, POLLIN, 0};
        ssize_t n = 0;
        if (::poll(&readable, 1, 100) > 0 && (n = ::read(master, buffer, sizeof buffer)) <= 0) {
            break;
        }
        run.screen.append(buffer, static_cast<std::size_t>(n));
        const auto at = next < answers.size() ? run.screen.find(answers[next].first, searchFrom)
                                              : std::string::npos;
        if (at != std::string::npos) {
            (void)!::write(master, answers[next].second.data(), answers[next].second.size());
            searchFrom = at + answers[next++].first.size();
        }
    }
    run.exitCode = Wait(pid, Clock::now() + std::chrono::seconds(5));
    termios mode{};
    run.echo = ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
    ::close(master);
    return run;
}

} // namespace tessaro::test
