// The adapter's thread: reads what the tool sends on the pseudo-terminal,
// decides each frame by the register rules, and answers as the faults say.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "adapter_impl.h"
#include "tty_line.h"

namespace tavrol::sim {

namespace {

constexpr std::size_t kReadChunk = 64;
constexpr std::uint32_t kDecodeCapacity = 2 * 4096 + 2;
// Ordinary traffic pauses while this much is waiting unread on the slave,
// so a tool that is not reading does not fill the line with stale messages.
constexpr int kTrafficBacklogLimit = 1024;
// A reply that cannot be written this long (nobody reads the slave) is lost.
constexpr int kWriteTimeoutMs = 2000;
constexpr int kByteGapMs = 2;
constexpr int kIdlePollMs = 50;

std::string ErrnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

}  // namespace

void VirtualAdapter::Impl::Emit(const std::string& line) {
    std::function<void(const std::string&)> s;
    {
        std::lock_guard<std::mutex> lock(mutex);
        s = sink;
    }
    if (s) s(line);
}

void VirtualAdapter::Impl::Wake() {
    // Called with `mutex` held, which keeps wakeFd open.
    if (wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
}

// Waits until `until` or until asked to stop; false when asked to stop.
bool VirtualAdapter::Impl::Sleep(Clock::time_point until) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex);
        fd = wakeFd;
    }
    while (!stopThread.load()) {
        const auto now = Clock::now();
        if (now >= until) return true;
        // ppoll takes the wait to the microsecond, so a held reply is not late.
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
        const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        pollfd p{fd, POLLIN, 0};
        if (::ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & POLLIN)) {
            std::uint64_t v;
            [[maybe_unused]] const ssize_t n = ::read(fd, &v, sizeof v);
        }
    }
    return false;
}

bool VirtualAdapter::Impl::WriteAll(const std::uint8_t* data, std::size_t count) {
    const int master = terminal.Master();
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    while (count > 0) {
        if (stopThread.load()) return false;
        const ssize_t n = ::write(master, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, std::min<int>(kIdlePollMs, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     deadline - now).count()) + 1));
    }
    return true;
}

// Reads the tool's line speed and lets a pending serial rate take effect when
// the tool has come back at another speed. Returns the speed.
std::uint32_t VirtualAdapter::Impl::CheckLineSpeed() {
    const std::uint32_t speed = LineSpeed(terminal.Master());
    std::string note;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (TakePendingRateAtSpeed(registers, speed)) {
            note = "serial rate " + std::to_string(registers.serialRate) + " now in effect (line reopened at " +
                   std::to_string(speed) + ")";
        }
    }
    if (!note.empty()) Emit(note);
    return speed;
}

void VirtualAdapter::Impl::Run() {
    std::vector<std::uint8_t> decodeBuffer(kDecodeCapacity);
    FrameDecoder decoder(decodeBuffer.data(), kDecodeCapacity);
    const int master = terminal.Master();
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex);
        fd = wakeFd;
    }
    auto nextTraffic = Clock::now();
    std::uint32_t trafficHz = 0;

    while (!stopThread.load()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (faults.canTrafficHz != trafficHz) {
                trafficHz = faults.canTrafficHz;
                nextTraffic = Clock::now();
            }
        }
        int timeout = kIdlePollMs;
        if (trafficHz != 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextTraffic - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, kIdlePollMs));
        }
        pollfd p[2] = {{master, POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::poll(p, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            Emit(ErrnoText("stopped answering: poll failed", errno));
            break;
        }
        if (p[1].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] const ssize_t n = ::read(fd, &v, sizeof v);
        }
        if (stopThread.load()) break;

        const std::uint32_t speed = CheckLineSpeed();
        if (p[0].revents & POLLIN) {
            ReadChunk(decoder);
        } else if (p[0].revents & (POLLHUP | POLLERR)) {
            // Cannot happen while the slave is held, but never spin on it.
            Sleep(Clock::now() + std::chrono::milliseconds(kIdlePollMs));
        }

        if (trafficHz != 0 && Clock::now() >= nextTraffic) {
            std::uint32_t rate;
            {
                std::lock_guard<std::mutex> lock(mutex);
                rate = registers.serialRate;
            }
            int waiting = 0;
            if (speed == rate && ::ioctl(terminal.Slave(), FIONREAD, &waiting) == 0 &&
                waiting < kTrafficBacklogLimit) {
                SendTraffic();
            }
            const auto period = std::chrono::microseconds(1000000 / trafficHz);
            nextTraffic += period;
            if (nextTraffic < Clock::now()) nextTraffic = Clock::now() + period;
        }
    }
}

// Reads what the tool sent and decodes it, when it came at the serial rate.
void VirtualAdapter::Impl::ReadChunk(FrameDecoder& decoder) {
    std::uint8_t chunk[kReadChunk];
    const ssize_t n = ::read(terminal.Master(), chunk, sizeof chunk);
    if (n > 0) {
        // The speed is read again for every chunk: the tool may have
        // reopened the port at another speed since the poll.
        const std::uint32_t chunkSpeed = CheckLineSpeed();
        std::uint32_t rate;
        {
            std::lock_guard<std::mutex> lock(mutex);
            rate = registers.serialRate;
        }
        if (chunkSpeed != rate) {
            Emit("ignored " + std::to_string(n) + " bytes received at " + std::to_string(chunkSpeed) +
                 " bit/s (serial rate " + std::to_string(rate) + ")");
            return;
        }
        for (ssize_t i = 0; i < n && !stopThread.load(); ++i) {
            if (decoder.DecodeByte(chunk[i]) == 1) HandleFrame(decoder.Frame(), decoder.FrameLength());
        }
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        Sleep(Clock::now() + std::chrono::milliseconds(kIdlePollMs));  // never spin on a failing read
    }
}

void VirtualAdapter::Impl::SendTraffic() {
    const std::vector<std::uint8_t> frame = FrameBytes(TrafficMessage(trafficCount++));
    WriteAll(frame.data(), frame.size());
}

void VirtualAdapter::Impl::HandleFrame(const std::uint8_t* payload, std::uint32_t length) {
    Exchange exchange;
    exchange.length = length;
    std::uint8_t padded[kCanMessageSize] = {};
    std::memcpy(padded, payload, std::min(length, kCanMessageSize));
    exchange.request = FromBytes(padded);

    Decision decision = Decide(exchange);
    if (!decision.reply || !Answer(exchange, decision)) AddToLog(exchange);
    Emit(Describe(exchange));
}

VirtualAdapter::Impl::Decision VirtualAdapter::Impl::Decide(Exchange& exchange) {
    Decision d;
    std::lock_guard<std::mutex> lock(mutex);
    Verdict verdict = DecideRequest(exchange.request, exchange.length, registers, options.cpuid);
    if (!verdict.reply) {
        exchange.note = std::move(verdict.note);
        return d;
    }
    d.reply = true;
    d.message = verdict.message;
    d.faults = faults;
    d.serialRate = registers.serialRate;
    d.drop = dropCounter.Drop(faults.dropEvery);
    return d;
}

VirtualAdapter::Impl::LogSlot VirtualAdapter::Impl::AddToLog(const Exchange& exchange) {
    LogSlot slot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(exchange);
        slot = {logGeneration, log.size() - 1};
    }
    logChanged.notify_all();
    return slot;
}

void VirtualAdapter::Impl::UpdateLog(LogSlot slot, const Exchange& exchange) {
    std::lock_guard<std::mutex> lock(mutex);
    if (slot.generation == logGeneration && slot.index < log.size()) log[slot.index] = exchange;
}

bool VirtualAdapter::Impl::Answer(Exchange& exchange, Decision& d) {
    if (d.drop) {
        exchange.note = DropNote(d.faults.dropEvery);
        return false;
    }
    const ShapedReply shaped = ShapeReply(d.faults, d.message, exchange.request, d.serialRate, rng);
    const auto until = Clock::now() + shaped.hold;
    if (d.faults.replyDelayMs != 0) {
        Emit(RequestText(exchange) + ": holding the reply " + std::to_string(d.faults.replyDelayMs) + " ms");
    }
    if (!Sleep(until)) {
        exchange.note = std::string("not sent: ") + stopReason.load();
        return false;
    }

    // Entered before the write, so whoever has the reply finds it logged.
    exchange.answered = true;
    exchange.reply = shaped.message;
    for (std::size_t i = 0; i < shaped.notes.size(); ++i) exchange.note += (i ? ", " : "") + shaped.notes[i];
    const LogSlot slot = AddToLog(exchange);

    if (!WriteReply(shaped)) {
        exchange.answered = false;
        exchange.note = std::string("not sent: ") + (stopThread.load() ? stopReason.load() : "the line is blocked");
        UpdateLog(slot, exchange);
    }
    return true;
}

bool VirtualAdapter::Impl::WriteReply(const ShapedReply& reply) {
    const std::vector<std::uint8_t>& out = reply.bytes;
    if (!reply.byteByByte) return WriteAll(out.data(), out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i != 0 && !Sleep(Clock::now() + std::chrono::milliseconds(kByteGapMs))) return false;
        if (!WriteAll(&out[i], 1)) return false;
    }
    return true;
}

}  // namespace tavrol::sim
