// A serial port in memory: records every call, replays scripted input and
// fails on request, so the link's call sequence can be checked.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial_port.h"

namespace tavrol::test {

struct FakePortState {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> calls;            // "Open", "Purge", ... in order
    std::vector<PortTarget> openedTargets;
    std::deque<std::vector<std::uint8_t>> reads;  // each entry is what one Read returns
    std::vector<std::uint8_t> written;
    LineSettings reported{9600, 7, 2, 2};      // what GetSettings reports
    LineSettings applied;                       // what SetSettings was given
    PortTimeouts timeouts;
    bool failOpen = false, failQueues = false, failGet = false, failSet = false;
    std::atomic<bool> failReads{false};  // every Read fails at once with an error
    bool lost = false;                   // the port is gone: Read reports it
    bool failWrites = false;
    int readCalls = 0;
    bool open = false;
    bool stopped = false;  // StopReading was called since the last Open

    int Count(const std::string& call);
    void PushRead(std::vector<std::uint8_t> chunk);
    // The port hangs up: a waiting Read ends with Lost.
    void Lose();
    // Every Read fails at once with an error other than a lost port.
    void FailReads();
};

// Names every COM number: the fake port opens whatever it is given.
class AnyPortResolver : public PortResolver {
public:
    std::optional<PortTarget> Resolve(int number) override {
        return PortTarget{"/dev/fake" + std::to_string(number), "", ""};
    }
};

class FakeSerialPort : public SerialPort {
public:
    explicit FakeSerialPort(std::shared_ptr<FakePortState> state) : s_(std::move(state)) {}

    bool Open(const PortTarget& target) override;
    void Purge() override;
    bool SetQueueSizes(std::uint32_t input, std::uint32_t output) override;
    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    void SetTimeouts(const PortTimeouts& timeouts) override;
    ReadResult Read(std::uint8_t* buffer, std::size_t capacity) override;
    void StopReading() override;
    int Write(const std::uint8_t* buffer, std::size_t count, std::uint32_t timeoutMs) override;
    void Close() override;
    bool IsOpen() const override;
    int LastError() const override { return lastError_; }

private:
    void Record(const std::string& call);
    std::shared_ptr<FakePortState> s_;
    int lastError_ = 0;
};

}  // namespace tavrol::test
