#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tavrol::clitest {

namespace {

// The parent's environment with XDG_RUNTIME_DIR replaced, built before the
// fork: the child may only call async-signal-safe functions.
std::vector<std::string> ChildEnvironment(const std::string& runtimeDir) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0) env.emplace_back(*e);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> p;
    for (std::string& t : texts) p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& runtimeDir, bool errorOnTerminal) {
    std::vector<std::string> argv = {TAVROL_CTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = ChildEnvironment(runtimeDir);
    std::vector<char*> argp = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (errorOnTerminal) {
        if (::openpty(&errPipe[0], &errPipe[1], nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        ::fcntl(errPipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(errPipe[1], F_SETFD, FD_CLOEXEC);
    } else if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    out_ = outPipe[0];
    err_ = errPipe[0];
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
}

void ToolProcess::Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

ToolResult ToolProcess::Wait(int timeoutMs) {
    ToolResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status) && open == 0) result.exitCode = WEXITSTATUS(status);
    return result;
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& runtimeDir, bool errorOnTerminal) {
    ToolProcess process(args, runtimeDir, errorOnTerminal);
    return process.Wait();
}

}  // namespace tavrol::clitest
