#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tavrol::bench {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int r = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (r != 0) {
        pid_ = -1;
        ::close(toChild_);
        ::close(fromChild_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(r));
    }
}

ChildProcess::~ChildProcess() {
    ::close(toChild_);
    ::close(fromChild_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::Wait(struct rusage* usage) {
    if (pid_ <= 0) return false;
    int status = 0;
    struct rusage ru {};
    const pid_t p = ::wait4(pid_, &status, 0, &ru);
    pid_ = -1;
    if (usage != nullptr) *usage = ru;
    return p > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return {};
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) return {};
        if (c == '\n') return line;
        line += c;
    }
}

void WriteLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
}

std::uint64_t Nanos(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(t.tv_nsec);
}

std::string Sibling(const std::string& self, const std::string& name) {
    const std::size_t slash = self.rfind('/');
    const std::string path = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

}  // namespace tavrol::bench
