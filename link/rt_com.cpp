#include "rt_com.h"

#include <chrono>
#include <system_error>

#include "port_enum.h"

namespace tavrol {

namespace {

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr std::uint32_t kChunkSize = 64;

// A read hands over what has arrived at once and waits at most 65 ms for the
// first byte, so replies reach the decoder without waiting for a gap and the
// reader sees the stop flag often. Writes end within 1 s a byte plus 50 s.
constexpr PortTimeouts kLinkTimeouts{INFINITE, INFINITE, 65, 1000, 50000};

}  // namespace

RT_COM::RT_COM(int n, std::unique_ptr<SerialPort> port)
    : port_(std::move(port)),
      capacity_(static_cast<std::uint32_t>(2 * n + 2)),
      receiveBuffer_(new std::uint8_t[capacity_]()),
      transmitBuffer_(new std::uint8_t[capacity_]()),
      decoder_(receiveBuffer_.get(), capacity_, framing_) {
    ResetCounters();
}

RT_COM::~RT_COM() { Close(); }

void RT_COM::OnFrame(const std::uint8_t* data, std::uint32_t length) {
    if (frameHook != nullptr) frameHook(frameHookContext, data, length);
    framesReceived_ += 1;
}

void RT_COM::OnBytes(const std::uint8_t* data, std::uint32_t length) {
    if (bytesHook != nullptr) bytesHook(bytesHookContext, data, length);
    bytesReceived_ += length;
}

void RT_COM::ResetCounters() {
    bytesReceived_ = 0;
    bytesSent_ = 0;
    framesReceived_ = 0;
    framesSent_ = 0;
}

int RT_COM::FailOpen() {
    lastError_ = port_->LastError();
    port_->Close();
    return 0;
}

int RT_COM::Open(int port, int baud) {
    if (openFlag_.load()) {
        if (port == portNumber_ && static_cast<std::uint32_t>(baud) == settings_.baudRate) return 1;
        Close();
    }
    portNumber_ = port;
    if (!port_->Open(DevicePathForPort(port))) {
        lastError_ = port_->LastError();
        return 0;
    }
    port_->Purge();
    if (!port_->SetQueueSizes(capacity_, capacity_)) return FailOpen();
    if (!port_->GetSettings(settings_)) return FailOpen();
    settings_.baudRate = static_cast<std::uint32_t>(baud);
    settings_.dataBits = 8;
    settings_.parity = 0;
    settings_.stopBits = 0;
    if (!port_->SetSettings(settings_)) return FailOpen();
    Pause(kSettlePauseMs);
    port_->SetTimeouts(kLinkTimeouts);

    stopFlag_ = 0;
    try {
        reader_ = std::thread([this] { ReaderLoop(); });
    } catch (const std::system_error& e) {
        // Without a reader no reply could ever arrive: report the open as failed.
        lastError_ = e.code().value();
        port_->Close();
        return 0;
    }
    openFlag_ = 1;
    return 1;
}

void RT_COM::Close() {
    if (reader_.joinable()) {
        stopFlag_ = 1;
        reader_.join();
    }
    if (port_->IsOpen()) {
        port_->Close();
        Pause(kSettlePauseMs);
    }
    openFlag_ = 0;
}

void RT_COM::Deliver(const std::uint8_t* chunk, std::uint32_t count) {
    OnBytes(chunk, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (decoder_.DecodeByte(chunk[i]) == 1) OnFrame(receiveBuffer_.get(), decoder_.FrameLength());
    }
}

void RT_COM::ReaderLoop() {
    std::uint8_t chunk[kChunkSize];
    while (stopFlag_.load() == 0) {
        const int count = port_->Read(chunk, kChunkSize);
        if (count > 0) {
            Deliver(chunk, static_cast<std::uint32_t>(count));
        } else if (count < 0) {
            // A dead port fails every read at once; rest so it costs no CPU.
            lastError_ = port_->LastError();
            Pause(kReadErrorPauseMs);
        }
    }
}

std::uint32_t RT_COM::WriteBytes(const std::uint8_t* buffer, int count, std::uint32_t timeoutMs) {
    if (buffer == nullptr || IsOpen() == 0 || count <= 0) return 0;
    const int written = port_->Write(buffer, static_cast<std::size_t>(count), timeoutMs);
    if (written < 0) {
        lastError_ = port_->LastError();
        return 0;
    }
    bytesSent_ += static_cast<std::uint64_t>(written);
    return static_cast<std::uint32_t>(written);
}

std::uint32_t RT_COM::SendFrame(const std::uint8_t* payload, std::uint32_t length, std::uint32_t timeoutMs) {
    if (payload == nullptr) return 0;
    const std::uint32_t m = EncodeFrame(framing_, payload, length, transmitBuffer_.get(), capacity_);
    if (m == 0) return 0;
    const std::uint32_t written = WriteBytes(transmitBuffer_.get(), static_cast<int>(m), timeoutMs);
    if (written != 0) framesSent_ += 1;
    return written;
}

}  // namespace tavrol
