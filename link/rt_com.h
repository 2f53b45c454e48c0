// The serial link to the adapter: opens a COM port by number at a baud rate,
// runs a reader thread that decodes frames, and sends payloads as frames. It
// notices when the port is lost (the adapter pulled out) and says so once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame_codec.h"
#include "port_catalog.h"
#include "serial_port.h"

namespace tavrol {

class RT_COM {
public:
    using Hook = void (*)(std::uintptr_t context, const std::uint8_t* data, std::uint32_t length);

    // `n` sizes the frame buffers: each holds 2n + 2 bytes. `ports` tells
    // what a COM number names; without one the link keeps a catalog of the
    // system's ports of its own.
    explicit RT_COM(int n, std::unique_ptr<SerialPort> port = CreateSystemSerialPort(),
                    PortResolver* ports = nullptr);
    virtual ~RT_COM();

    RT_COM(const RT_COM&) = delete;
    RT_COM& operator=(const RT_COM&) = delete;

    // Called on the reader thread for every accepted frame. The bytes are
    // valid only during the call.
    virtual void OnFrame(const std::uint8_t* data, std::uint32_t length);
    // Called on the reader thread for every non-empty chunk read, before its
    // bytes are decoded.
    virtual void OnBytes(const std::uint8_t* data, std::uint32_t length);
    // Called once on the reader thread when the port is lost (hung up, its
    // device gone); the reader has stopped reading. Overrides must call the
    // version of their base class.
    virtual void OnPortLost();

    // 1 when the link is open on COM`port` at `baud` with the reader running,
    // 0 on failure (the link is then closed). COM`port` is resolved now, so
    // it opens what the number names at this moment.
    int Open(int port, int baud);
    // The same for a device named directly, such as /dev/ttyUSB0.
    int OpenTarget(const PortTarget& target, int baud);
    void Close();
    int IsOpen() const { return openFlag_.load(); }
    // True from the moment the port is lost until the next Open or Close. The
    // link stays open until Close; every transfer on it fails at once.
    bool PortLost() const { return portLost_.load(); }

    // Encodes `length` bytes as one frame and writes it. Bytes written, 0 on
    // failure (closed link, null or over-long payload, failed write).
    std::uint32_t SendFrame(const std::uint8_t* payload, std::uint32_t length, std::uint32_t timeoutMs);
    std::uint32_t WriteBytes(const std::uint8_t* buffer, int count, std::uint32_t timeoutMs);
    void ResetCounters();

    // Observers; nothing in the program installs them.
    std::uintptr_t frameHookContext = 0;
    Hook frameHook = nullptr;
    std::uintptr_t bytesHookContext = 0;
    Hook bytesHook = nullptr;

    std::uint64_t BytesReceived() const { return bytesReceived_.load(); }
    std::uint64_t BytesSent() const { return bytesSent_.load(); }
    std::uint64_t FramesReceived() const { return framesReceived_.load(); }
    std::uint64_t FramesSent() const { return framesSent_.load(); }
    int LastError() const { return lastError_.load(); }
    int PortNumber() const { return portNumber_; }
    // The device of the last Open, for messages; empty when the COM number
    // named nothing (LastError() is then ENOENT).
    std::string DevicePath() const;
    std::uint32_t BaudRate() const { return settings_.baudRate; }
    std::uint32_t Capacity() const { return capacity_; }

    // Pause after changing the line's rate or framing, and between closing a
    // port and opening it again.
    static constexpr int kSettlePauseMs = 60;
    // How long the reader rests after a read fails for a reason other than a
    // lost port, so a failing port costs no CPU.
    static constexpr int kReadErrorPauseMs = 65;

protected:
    void ReaderLoop();

private:
    void Deliver(const std::uint8_t* chunk, std::uint32_t count);
    int FailOpen();
    void WaitForSettledClose();

    std::unique_ptr<SerialPort> port_;
    std::unique_ptr<PortCatalog> ownCatalog_;
    PortResolver* ports_;
    FramingBytes framing_;
    std::uint32_t capacity_;
    std::unique_ptr<std::uint8_t[]> receiveBuffer_;
    std::unique_ptr<std::uint8_t[]> transmitBuffer_;
    FrameDecoder decoder_;

    std::atomic<std::uint64_t> bytesReceived_{0};
    std::atomic<std::uint64_t> bytesSent_{0};
    std::atomic<std::uint64_t> framesReceived_{0};
    std::atomic<std::uint64_t> framesSent_{0};

    std::thread reader_;
    std::atomic<int> stopFlag_{0};
    std::atomic<int> openFlag_{0};
    std::atomic<bool> portLost_{false};
    std::atomic<int> lastError_{0};
    LineSettings settings_;
    int portNumber_ = 0;
    mutable std::mutex deviceMutex_;
    std::string devicePath_;
    std::chrono::steady_clock::time_point closedAt_{};
};

}  // namespace tavrol
