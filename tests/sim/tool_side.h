// The tool's side of the virtual adapter's line, for tests: opens the slave
// like the tool does, speaks frames, and records what arrives.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../support/temp_dir.h"
#include "can_message.h"
#include "frame_codec.h"

namespace tavrol::simtest {

using Bytes = std::vector<std::uint8_t>;

using TempDir = tavrol::test::TempDir;

CanMessage ReadRequest(std::uint32_t id);
// A write request with `value` in the first bytes, 0xEE behind it, and
// Dlc = `dlc` (-1: the value's length).
CanMessage WriteRequest(std::uint32_t id, const Bytes& value, int dlc = -1);
Bytes FrameOf(const Bytes& payload);
Bytes FrameOf(const CanMessage& m);
Bytes BytesOf(const CanMessage& m);

class ToolPort {
public:
    ToolPort();
    ~ToolPort();
    ToolPort(const ToolPort&) = delete;
    ToolPort& operator=(const ToolPort&) = delete;

    // Opens `path` raw at `rate`, as the tool opens its port.
    bool Open(const std::string& path, std::uint32_t rate);
    // Closes the port; bytes read but not yet decoded are forgotten.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    bool SetRate(std::uint32_t rate);

    bool SendRaw(const Bytes& bytes);
    bool Send(const CanMessage& m) { return SendRaw(FrameOf(m)); }
    bool SendPayload(const Bytes& payload) { return SendRaw(FrameOf(payload)); }

    // The payload of the next frame with a good checksum, waiting up to
    // `timeoutMs`.
    std::optional<Bytes> NextFrame(int timeoutMs);
    // The next configuration reply, passing over ordinary messages.
    std::optional<CanMessage> NextReply(int timeoutMs);
    // Send, then wait for the configuration reply.
    std::optional<CanMessage> Transact(const CanMessage& request, int timeoutMs = 3000);

    // Everything read since the last TakeRaw, and the sizes of the reads.
    Bytes TakeRaw();
    std::vector<std::size_t> TakeChunkSizes();

    // Reads until an error or a hang-up is seen or `timeoutMs` passes; true
    // when the line is dead.
    bool WaitForHangUp(int timeoutMs);

private:
    int fd_ = -1;
    Bytes decodeBuffer_;
    FrameDecoder decoder_;
    std::deque<std::uint8_t> pending_;
    Bytes raw_;
    std::vector<std::size_t> chunks_;
};

// Collects the adapter's log lines.
class LineRecorder {
public:
    void Add(const std::string& line);
    // Waits for a line containing `text` among those added after the last
    // call that found one; true when it came.
    bool WaitFor(const std::string& text, int timeoutMs = 3000);
    std::vector<std::string> Lines() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable added_;
    std::vector<std::string> lines_;
    std::size_t searched_ = 0;
};

}  // namespace tavrol::simtest
