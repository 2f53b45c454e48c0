// A child process on two pipes (its stdin and stdout), and line-wise talk
// with it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavrol::bench {

class ChildProcess {
public:
    // Starts `program` with `args`; throws when it cannot.
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Kills a child that has not ended by then.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int To() const { return toChild_; }
    int From() const { return fromChild_; }
    // Waits for the end; true when it exited with 0. `usage` receives what
    // the kernel counted for it (peak resident memory among others).
    bool Wait(struct rusage* usage = nullptr);

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
};

// One line from `fd` without its newline, waiting at most `timeoutMs`; empty
// on time-out or end of input.
std::string ReadLine(int fd, int timeoutMs);
void WriteLine(int fd, const std::string& text);

std::uint64_t Nanos(clockid_t clock);

// The program next to this one called `name`, empty when there is none.
std::string Sibling(const std::string& self, const std::string& name);

}  // namespace tavrol::bench
