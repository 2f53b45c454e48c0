#include "fake_serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace tavrol::test {

int FakePortState::Count(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

void FakePortState::PushRead(std::vector<std::uint8_t> chunk) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        reads.push_back(std::move(chunk));
    }
    cv.notify_all();
}

void FakePortState::Lose() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        lost = true;
    }
    cv.notify_all();
}

void FakePortState::FailReads() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        failReads = true;
    }
    cv.notify_all();
}

void FakeSerialPort::Record(const std::string& call) { s_->calls.push_back(call); }

bool FakeSerialPort::Open(const PortTarget& target) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("Open");
    s_->openedTargets.push_back(target);
    if (s_->failOpen) {
        lastError_ = ENOENT;
        return false;
    }
    s_->open = true;
    s_->stopped = false;
    return true;
}

void FakeSerialPort::Purge() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("Purge");
}

bool FakeSerialPort::SetQueueSizes(std::uint32_t, std::uint32_t) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("SetQueueSizes");
    if (s_->failQueues) lastError_ = EINVAL;
    return !s_->failQueues;
}

bool FakeSerialPort::GetSettings(LineSettings& settings) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("GetSettings");
    if (s_->failGet) {
        lastError_ = EIO;
        return false;
    }
    settings = s_->reported;
    return true;
}

bool FakeSerialPort::SetSettings(const LineSettings& settings) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("SetSettings");
    if (s_->failSet) {
        lastError_ = EINVAL;
        return false;
    }
    s_->applied = settings;
    return true;
}

void FakeSerialPort::SetTimeouts(const PortTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("SetTimeouts");
    s_->timeouts = timeouts;
}

ReadResult FakeSerialPort::Read(std::uint8_t* buffer, std::size_t capacity) {
    std::unique_lock<std::mutex> lock(s_->mutex);
    ++s_->readCalls;
    if (s_->failReads) {
        lastError_ = EINVAL;
        return ReadResult{ReadStatus::Failed, 0};
    }
    // Like the real port: wait without a limit for input, a hang-up or a stop.
    s_->cv.wait(lock, [this] { return !s_->reads.empty() || s_->stopped || s_->lost || s_->failReads; });
    if (s_->stopped) return ReadResult{ReadStatus::Stopped, 0};
    if (s_->reads.empty() && s_->lost) {
        lastError_ = EIO;
        return ReadResult{ReadStatus::Lost, 0};
    }
    if (s_->reads.empty()) {
        lastError_ = EINVAL;
        return ReadResult{ReadStatus::Failed, 0};
    }
    std::vector<std::uint8_t> chunk = std::move(s_->reads.front());
    s_->reads.pop_front();
    const std::size_t n = std::min(capacity, chunk.size());
    std::copy_n(chunk.begin(), n, buffer);
    if (n < chunk.size()) s_->reads.emplace_front(chunk.begin() + static_cast<long>(n), chunk.end());
    return ReadResult{ReadStatus::Data, static_cast<int>(n)};
}

void FakeSerialPort::StopReading() {
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        Record("StopReading");
        s_->stopped = true;
    }
    s_->cv.notify_all();
}

int FakeSerialPort::Write(const std::uint8_t* buffer, std::size_t count, std::uint32_t) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("Write");
    if (s_->failWrites) {
        lastError_ = EIO;
        return -1;
    }
    s_->written.insert(s_->written.end(), buffer, buffer + count);
    return static_cast<int>(count);
}

void FakeSerialPort::Close() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    Record("Close");
    s_->open = false;
}

bool FakeSerialPort::IsOpen() const {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return s_->open;
}

}  // namespace tavrol::test
