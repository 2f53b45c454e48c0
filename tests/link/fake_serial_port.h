// A serial port in memory: records every call, replays scripted input and
// fails on request, so the link's call sequence can be checked.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial_port.h"

namespace tavrol::test {

struct FakePortState {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> calls;            // "Open", "Purge", ... in order
    std::vector<std::string> openedDevices;
    std::deque<std::vector<std::uint8_t>> reads;  // each entry is what one Read returns
    std::vector<std::uint8_t> written;
    LineSettings reported{9600, 7, 2, 2};      // what GetSettings reports
    LineSettings applied;                       // what SetSettings was given
    PortTimeouts timeouts;
    bool failOpen = false, failQueues = false, failGet = false, failSet = false;
    std::atomic<bool> failReads{false};  // every Read fails at once, like a hung-up port
    bool failWrites = false;
    int readCalls = 0;
    bool open = false;

    int Count(const std::string& call);
    void PushRead(std::vector<std::uint8_t> chunk);
};

class FakeSerialPort : public SerialPort {
public:
    explicit FakeSerialPort(std::shared_ptr<FakePortState> state) : s_(std::move(state)) {}

    bool Open(const std::string& device) override;
    void Purge() override;
    bool SetQueueSizes(std::uint32_t input, std::uint32_t output) override;
    bool GetSettings(LineSettings& settings) override;
    bool SetSettings(const LineSettings& settings) override;
    void SetTimeouts(const PortTimeouts& timeouts) override;
    int Read(std::uint8_t* buffer, std::size_t capacity) override;
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
