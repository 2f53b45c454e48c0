#include "tool_side.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tty_line.h"

namespace tavrol::simtest {

namespace {

constexpr std::uint32_t kDecodeCapacity = 2 * 4096 + 2;

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CanMessage ReadRequest(std::uint32_t id) {
    CanMessage m;
    m.Id = id;
    std::memset(m.Data, 0xEE, sizeof m.Data);  // meaningless; the adapter must ignore it
    m.Dlc = 8;
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    m.Remote = 1;
    return m;
}

CanMessage WriteRequest(std::uint32_t id, const Bytes& value, int dlc) {
    CanMessage m;
    m.Id = id;
    std::memset(m.Data, 0xEE, sizeof m.Data);
    std::memcpy(m.Data, value.data(), std::min<std::size_t>(value.size(), 8));
    m.Dlc = static_cast<std::uint8_t>(dlc < 0 ? value.size() : static_cast<std::size_t>(dlc));
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    m.Remote = 0;
    return m;
}

Bytes BytesOf(const CanMessage& m) {
    const CanMessageBytes b = ToBytes(m);
    return Bytes(b.begin(), b.end());
}

Bytes FrameOf(const Bytes& payload) {
    Bytes out(MaxFrameSize(static_cast<std::uint32_t>(payload.size())));
    const std::uint32_t n = EncodeFrame(FramingBytes{}, payload.data(), static_cast<std::uint32_t>(payload.size()),
                                        out.data(), static_cast<std::uint32_t>(out.size()));
    out.resize(n);
    return out;
}

Bytes FrameOf(const CanMessage& m) { return FrameOf(BytesOf(m)); }

ToolPort::ToolPort() : decodeBuffer_(kDecodeCapacity), decoder_(decodeBuffer_.data(), kDecodeCapacity) {}

ToolPort::~ToolPort() { Close(); }

bool ToolPort::Open(const std::string& path, std::uint32_t rate) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    if (!SetRawLine(fd_, rate)) {
        Close();
        return false;
    }
    // Like the tool: whatever waited in the queues is of an earlier session.
    ::tcflush(fd_, TCIOFLUSH);
    return true;
}

void ToolPort::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

bool ToolPort::SetRate(std::uint32_t rate) { return fd_ >= 0 && SetRawLine(fd_, rate); }

bool ToolPort::SendRaw(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const int left = RemainingMs(deadline);
        if (left == 0) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, left);
    }
    return true;
}

std::optional<Bytes> ToolPort::NextFrame(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Bytes read with an earlier frame come first.
        while (!pending_.empty()) {
            const std::uint8_t b = pending_.front();
            pending_.pop_front();
            if (decoder_.DecodeByte(b) == 1) return Bytes(decoder_.Frame(), decoder_.Frame() + decoder_.FrameLength());
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        if (ready <= 0) {
            if (ready < 0 && errno == EINTR) continue;
            return std::nullopt;
        }
        if (!(p.revents & POLLIN)) return std::nullopt;  // hang-up
        std::uint8_t chunk[64];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return std::nullopt;
        chunks_.push_back(static_cast<std::size_t>(n));
        raw_.insert(raw_.end(), chunk, chunk + n);
        pending_.insert(pending_.end(), chunk, chunk + n);
    }
}

std::optional<CanMessage> ToolPort::NextReply(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto frame = NextFrame(RemainingMs(deadline));
        if (!frame) return std::nullopt;
        if (frame->size() == kCanMessageSize && (*frame)[13] == KIND_CONFIG) return FromBytes(frame->data());
    }
}

std::optional<CanMessage> ToolPort::Transact(const CanMessage& request, int timeoutMs) {
    if (!Send(request)) return std::nullopt;
    return NextReply(timeoutMs);
}

Bytes ToolPort::TakeRaw() {
    Bytes out;
    out.swap(raw_);
    return out;
}

std::vector<std::size_t> ToolPort::TakeChunkSizes() {
    std::vector<std::size_t> out;
    out.swap(chunks_);
    return out;
}

bool ToolPort::WaitForHangUp(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, RemainingMs(deadline));
        if (ready == 0) return false;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (p.revents & (POLLHUP | POLLERR)) return true;
        std::uint8_t chunk[64];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno == EIO)) return true;
    }
}

void LineRecorder::Add(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
    }
    added_.notify_all();
}

bool LineRecorder::WaitFor(const std::string& text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool found = added_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (; searched_ < lines_.size(); ++searched_) {
            if (lines_[searched_].find(text) != std::string::npos) return true;
        }
        return false;
    });
    if (found) ++searched_;
    return found;
}

std::vector<std::string> LineRecorder::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

}  // namespace tavrol::simtest
