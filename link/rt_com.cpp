#include "rt_com.h"

#include <cerrno>
#include <chrono>
#include <system_error>

namespace tavrol {

namespace {

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool SameLine(const LineSettings& a, const LineSettings& b) {
    return a.baudRate == b.baudRate && a.dataBits == b.dataBits && a.parity == b.parity && a.stopBits == b.stopBits;
}

constexpr std::uint32_t kChunkSize = 64;

// Writes end within 1 s a byte plus 50 s.
constexpr PortTimeouts kLinkTimeouts{1000, 50000};

}  // namespace

RT_COM::RT_COM(int n, std::unique_ptr<SerialPort> port, PortResolver* ports)
    : port_(std::move(port)),
      ownCatalog_(ports == nullptr ? std::make_unique<PortCatalog>() : nullptr),
      ports_(ports != nullptr ? ports : ownCatalog_.get()),
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

void RT_COM::OnPortLost() {}

void RT_COM::ResetCounters() {
    bytesReceived_ = 0;
    bytesSent_ = 0;
    framesReceived_ = 0;
    framesSent_ = 0;
}

int RT_COM::FailOpen() {
    lastError_ = port_->LastError();
    port_->Close();
    closedAt_ = std::chrono::steady_clock::now();
    return 0;
}

std::string RT_COM::DevicePath() const {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    return devicePath_;
}

int RT_COM::Open(int port, int baud) {
    // A lost port is never "already open": it is closed and opened anew.
    if (openFlag_.load() && !portLost_.load() && port == portNumber_ &&
        static_cast<std::uint32_t>(baud) == settings_.baudRate) {
        return 1;
    }
    Close();
    portNumber_ = port;
    const std::optional<PortTarget> target = ports_->Resolve(port);
    if (!target) {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        devicePath_.clear();
        lastError_ = ENOENT;
        return 0;
    }
    return OpenTarget(*target, baud);
}

// The pause between closing a port and opening it again, taken only when the
// next open comes that soon, so that Close itself returns at once.
void RT_COM::WaitForSettledClose() {
    const auto settled = closedAt_ + std::chrono::milliseconds(kSettlePauseMs);
    const auto now = std::chrono::steady_clock::now();
    if (now < settled) std::this_thread::sleep_for(settled - now);
}

int RT_COM::OpenTarget(const PortTarget& target, int baud) {
    if (openFlag_.load() && !portLost_.load() && target.device == DevicePath() &&
        static_cast<std::uint32_t>(baud) == settings_.baudRate) {
        return 1;
    }
    Close();
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        devicePath_ = target.device;
    }
    WaitForSettledClose();
    if (!port_->Open(target)) {
        lastError_ = port_->LastError();
        return 0;
    }
    port_->Purge();
    if (!port_->SetQueueSizes(capacity_, capacity_)) return FailOpen();
    if (!port_->GetSettings(settings_)) return FailOpen();
    const LineSettings reported = settings_;
    settings_.baudRate = static_cast<std::uint32_t>(baud);
    settings_.dataBits = 8;
    settings_.parity = 0;
    settings_.stopBits = 0;
    if (!port_->SetSettings(settings_)) return FailOpen();
    // A line whose rate or framing changed needs time to settle; one that
    // already ran this way does not.
    if (!SameLine(reported, settings_)) Pause(kSettlePauseMs);
    port_->SetTimeouts(kLinkTimeouts);

    stopFlag_ = 0;
    portLost_ = false;
    try {
        reader_ = std::thread([this] { ReaderLoop(); });
    } catch (const std::system_error& e) {
        // Without a reader no reply could ever arrive: report the open as failed.
        lastError_ = e.code().value();
        port_->Close();
        closedAt_ = std::chrono::steady_clock::now();
        return 0;
    }
    openFlag_ = 1;
    return 1;
}

void RT_COM::Close() {
    if (reader_.joinable()) {
        stopFlag_ = 1;
        port_->StopReading();
        reader_.join();
    }
    if (port_->IsOpen()) {
        port_->Close();
        closedAt_ = std::chrono::steady_clock::now();
    }
    openFlag_ = 0;
    portLost_ = false;
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
        const ReadResult r = port_->Read(chunk, kChunkSize);
        switch (r.status) {
            case ReadStatus::Data:
                Deliver(chunk, static_cast<std::uint32_t>(r.count));
                break;
            case ReadStatus::Stopped:
                return;
            case ReadStatus::Lost:
                // Nothing will come any more: stop reading, say so once.
                lastError_ = port_->LastError();
                portLost_ = true;
                OnPortLost();
                return;
            case ReadStatus::Failed:
                // Rest, so a port that keeps failing costs no CPU.
                lastError_ = port_->LastError();
                Pause(kReadErrorPauseMs);
                break;
        }
    }
}

std::uint32_t RT_COM::WriteBytes(const std::uint8_t* buffer, int count, std::uint32_t timeoutMs) {
    if (buffer == nullptr || IsOpen() == 0 || count <= 0) return 0;
    if (portLost_.load()) return 0;
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
