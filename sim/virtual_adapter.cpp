#include "virtual_adapter.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "frame_codec.h"
#include "tty_line.h"
#include "port_enum.h"
#include "registers.h"

namespace tavrol::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64;
constexpr std::uint32_t kDecodeCapacity = 2 * 4096 + 2;
constexpr std::uint32_t kFrameCapacity = 64;
// Ordinary traffic pauses while this much is waiting unread on the slave,
// so a tool that is not reading does not fill the line with stale messages.
constexpr int kTrafficBacklogLimit = 1024;
// A reply that cannot be written this long (nobody reads the slave) is lost.
constexpr int kWriteTimeoutMs = 2000;
constexpr int kByteGapMs = 2;
constexpr int kIdlePollMs = 50;
constexpr int kMaxDefaultCom = 4096;

std::string ErrnoText(const std::string& what, int e) { return what + ": " + std::strerror(e); }

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string ReadLinkText(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

enum class LinkResult { Created, InUse, Failed };

// Creates `path` -> `target`. A dangling link (or one to something that is no
// character device) is replaced; a link to a live device, or anything that
// is not a link, is left alone.
LinkResult CreatePortLink(const std::string& path, const std::string& target, std::string* reason) {
    if (::symlink(target.c_str(), path.c_str()) == 0) return LinkResult::Created;
    if (errno != EEXIST) {
        *reason = ErrnoText("cannot create " + path, errno);
        return LinkResult::Failed;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        *reason = ErrnoText("cannot inspect " + path, errno);
        return LinkResult::Failed;
    }
    if (!S_ISLNK(st.st_mode)) {
        *reason = path + " exists and is not a link";
        return LinkResult::InUse;
    }
    if (IsCharDevice(path)) {
        *reason = path + " is in use (it points to " + ReadLinkText(path) + ")";
        return LinkResult::InUse;
    }
    // Replace the stale link in one step, so the name never goes missing.
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        *reason = ErrnoText("cannot create " + temporary, errno);
        return LinkResult::Failed;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        *reason = ErrnoText("cannot replace " + path, errno);
        ::unlink(temporary.c_str());
        return LinkResult::Failed;
    }
    return LinkResult::Created;
}

bool IsRegister(std::uint32_t id) { return RegisterSizeOf(id) != 0; }

std::string ValueText(std::uint32_t id, const std::uint8_t* data, std::uint32_t size) {
    char text[64];
    if (id >= REG_FILTER_0 && id <= REG_FILTER_13) {
        std::snprintf(text, sizeof text, "id 0x%08X mask 0x%08X", LoadLE32(data), LoadLE32(data + 4));
        return text;
    }
    // The identifier's bytes are no number: shown as they lie.
    if (IsRegister(id) && id != REG_CPUID_LO && id != REG_CPUID_HI) {
        if (size == 1) return std::to_string(data[0]);
        if (size == 4) return std::to_string(LoadLE32(data));
    }
    std::string out;
    for (std::uint32_t i = 0; i < size; ++i) {
        std::snprintf(text, sizeof text, "%s%02x", i ? " " : "", data[i]);
        out += text;
    }
    return out;
}

std::string HexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string Ordinal(std::uint32_t n) {
    if (n == 1) return "single";
    const std::uint32_t tens = n % 100, ones = n % 10;
    const char* suffix = (tens >= 11 && tens <= 13) ? "th" : ones == 1 ? "st" : ones == 2 ? "nd" : ones == 3 ? "rd" : "th";
    return std::to_string(n) + suffix;
}

// Another register's identifier, for the wrong-Id fault.
std::uint32_t OtherRegister(std::uint32_t id) { return id == REG_CAN_BAUD ? REG_ART : REG_CAN_BAUD; }

}  // namespace

std::string RegisterName(std::uint32_t id) {
    switch (id) {
        case REG_USART_BAUD: return "REG_USART_BAUD";
        case REG_ART: return "REG_ART";
        case REG_ABOM: return "REG_ABOM";
        case REG_CAN_BAUD: return "REG_CAN_BAUD";
        case REG_FACTORY_RESET: return "REG_FACTORY_RESET";
        case REG_CPUID_LO: return "REG_CPUID_LO";
        case REG_CPUID_HI: return "REG_CPUID_HI";
        default: break;
    }
    if (id >= REG_FILTER_0 && id <= REG_FILTER_13) return "REG_FILTER_" + std::to_string(id - REG_FILTER_0);
    return HexText(id);
}

namespace {

std::string RequestText(const Exchange& e) {
    const CanMessage& q = e.request;
    if (e.length != kCanMessageSize) return "frame of " + std::to_string(e.length) + " bytes";
    if (q.Kind != KIND_CONFIG) {
        char text[64];
        std::snprintf(text, sizeof text, "message Id 0x%X Kind 0x%02X", q.Id, q.Kind);
        return text;
    }
    if (q.Remote == 1) return "read " + RegisterName(q.Id);
    if (q.Remote == 0) {
        const std::uint32_t size = RegisterSizeOf(q.Id);
        const std::uint32_t shown = size != 0 ? size : std::min<std::uint32_t>(q.Dlc, 8);
        return "write " + RegisterName(q.Id) + " " + ValueText(q.Id, q.Data, shown) + " (Dlc " +
               std::to_string(q.Dlc) + ")";
    }
    return "request " + RegisterName(q.Id) + " Remote " + std::to_string(q.Remote);
}

}  // namespace

std::string Describe(const Exchange& e) {
    const CanMessage& q = e.request;
    std::string line = RequestText(e);
    if (!e.answered) return line + " -> no reply (" + e.note + ")";
    const CanMessage& r = e.reply;
    const std::uint32_t size = std::min<std::uint32_t>(r.Dlc, 8);
    line += " -> " + ValueText(q.Id, r.Data, size) + " (Dlc " + std::to_string(r.Dlc) + ")";
    if (r.Id != q.Id) line += " with Id " + RegisterName(r.Id);
    if (!e.note.empty()) line += " [" + e.note + "]";
    return line;
}

struct VirtualAdapter::Impl {
    explicit Impl(Options o) : options(std::move(o)), faults(options.faults), rng(std::random_device{}()) {
        registers.serialRate = options.serialRate;
        registers.pendingSerialRate = options.serialRate;
    }

    // What a reply needs from the locked state, taken in one go.
    struct Decision {
        bool reply = false;
        CanMessage message;
        Faults faults;
        bool drop = false;
        std::uint32_t serialRate = 0;
    };

    void Emit(const std::string& line);
    void Wake();
    bool Sleep(Clock::time_point until);
    bool WriteAll(const std::uint8_t* data, std::size_t count);
    std::uint32_t CheckLineSpeed();
    void Run();
    void HandleFrame(const std::uint8_t* payload, std::uint32_t length);
    Decision Decide(Exchange& exchange);
    // true when it has entered the exchange in the log itself.
    bool Answer(Exchange& exchange, Decision& decision);
    struct LogSlot {
        std::uint64_t generation;
        std::size_t index;
    };
    LogSlot AddToLog(const Exchange& exchange);
    void UpdateLog(LogSlot slot, const Exchange& exchange);
    void SendTraffic();
    bool OpenTerminal(std::string* error);
    void CloseTerminal();
    bool RegisterLink(int wanted, std::string* error);
    void RemoveLink();
    bool StartThread(std::string* error);
    void StopThread();
    // Ends the thread and closes the terminal; `why` is what an exchange cut
    // short is told.
    void UnplugLocked(const char* why);

    const Options options;

    // Guards everything below up to the thread's own state.
    mutable std::mutex mutex;
    mutable std::condition_variable logChanged;
    Registers registers;
    Faults faults;
    std::vector<Exchange> log;
    std::uint64_t logGeneration = 0;     // counts ClearLog calls
    std::function<void(const std::string&)> sink;
    std::string portDirectory;
    int com = 0;
    std::string slavePath;
    std::string linkPath;
    bool running = false;
    bool plugged = false;
    int wakeFd = -1;
    std::uint64_t replies = 0;           // counted for dropEvery
    std::uint32_t dropEveryCounted = 0;  // the dropEvery the count belongs to

    // Serialises Start, Stop, Unplug and Replug.
    std::mutex lifeMutex;

    // Owned by the adapter thread while it runs; touched by the others only
    // while it does not.
    int master = -1;
    int slave = -1;
    std::thread thread;
    std::atomic<bool> stopThread{false};
    std::atomic<const char*> stopReason{"stopped"};
    std::mt19937 rng;
    std::uint32_t trafficCount = 0;
};

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
    const std::uint32_t speed = LineSpeed(master);
    std::string note;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Registers& r = registers;
        if (speed != 0 && speed != r.serialRate && r.pendingSerialRate != r.serialRate) {
            r.serialRate = r.pendingSerialRate;
            note = "serial rate " + std::to_string(r.serialRate) + " now in effect (line reopened at " +
                   std::to_string(speed) + ")";
        }
    }
    if (!note.empty()) Emit(note);
    return speed;
}

void VirtualAdapter::Impl::Run() {
    std::vector<std::uint8_t> decodeBuffer(kDecodeCapacity);
    FrameDecoder decoder(decodeBuffer.data(), kDecodeCapacity);
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
            std::uint8_t chunk[kReadChunk];
            const ssize_t n = ::read(master, chunk, sizeof chunk);
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
                } else {
                    for (ssize_t i = 0; i < n && !stopThread.load(); ++i) {
                        if (decoder.DecodeByte(chunk[i]) == 1) HandleFrame(decoder.Frame(), decoder.FrameLength());
                    }
                }
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                Sleep(Clock::now() + std::chrono::milliseconds(kIdlePollMs));  // never spin on a failing read
            }
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
            if (speed == rate && ::ioctl(slave, FIONREAD, &waiting) == 0 && waiting < kTrafficBacklogLimit) {
                SendTraffic();
            }
            const auto period = std::chrono::microseconds(1000000 / trafficHz);
            nextTraffic += period;
            if (nextTraffic < Clock::now()) nextTraffic = Clock::now() + period;
        }
    }
}

void VirtualAdapter::Impl::SendTraffic() {
    CanMessage m;
    m.Id = 0x100 + (trafficCount % 0x100);
    StoreLE32(m.Data, trafficCount);
    StoreLE32(m.Data + 4, ~trafficCount);
    m.Dlc = 8;
    m.Kind = 0x00;
    ++trafficCount;
    const CanMessageBytes bytes = ToBytes(m);
    std::uint8_t frame[kFrameCapacity];
    const std::uint32_t n = EncodeFrame(FramingBytes{}, bytes.data(), kCanMessageSize, frame, sizeof frame);
    WriteAll(frame, n);
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
    const CanMessage& q = exchange.request;
    if (exchange.length != kCanMessageSize) {
        exchange.note = "not a 16-byte message";
        return d;
    }
    if (q.Kind != KIND_CONFIG) {
        exchange.note = "not a configuration message";
        return d;
    }
    if (q.Remote > 1) {
        exchange.note = "Remote is neither 0 nor 1";
        return d;
    }
    const std::uint32_t size = RegisterSizeOf(q.Id);
    if (size == 0) {
        exchange.note = "unknown register";
        return d;
    }
    const bool write = q.Remote == 0;
    if (write && (q.Dlc < size || q.Dlc > 8)) {
        exchange.note = "Dlc " + std::to_string(q.Dlc) + " does not fit the register's size " + std::to_string(size);
        return d;
    }

    std::lock_guard<std::mutex> lock(mutex);
    Registers& r = registers;
    std::uint8_t value[8] = {};
    switch (q.Id) {
        case REG_USART_BAUD:
            // A rate of 0 would leave no speed to reach the adapter at.
            if (write && LoadLE32(q.Data) != 0) r.pendingSerialRate = LoadLE32(q.Data);
            StoreLE32(value, r.pendingSerialRate);
            break;
        case REG_ART:
            if (write) r.art = q.Data[0];
            value[0] = r.art;
            break;
        case REG_ABOM:
            if (write) r.abom = q.Data[0];
            value[0] = r.abom;
            break;
        case REG_CAN_BAUD:
            if (write) r.canBaud = LoadLE32(q.Data);
            StoreLE32(value, r.canBaud);
            break;
        case REG_FACTORY_RESET:
            if (write) {
                const std::uint32_t inEffect = r.serialRate;
                r = Registers{};
                r.serialRate = inEffect;  // the factory rate waits for the next connection
                std::memcpy(value, q.Data, 4);
            }
            break;
        case REG_CPUID_LO:
            std::memcpy(value, options.cpuid.data(), 8);
            break;
        case REG_CPUID_HI:
            std::memcpy(value, options.cpuid.data() + 8, 4);
            break;
        default: {
            auto& filter = r.filters[q.Id - REG_FILTER_0];
            if (write) std::memcpy(filter.data(), q.Data, 8);
            std::memcpy(value, filter.data(), 8);
            break;
        }
    }
    d.reply = true;
    d.message.Id = q.Id;
    std::memcpy(d.message.Data, value, size);
    d.message.Dlc = static_cast<std::uint8_t>(size);
    d.message.Kind = KIND_CONFIG;
    d.message.Extended = 1;
    d.message.Remote = 0;
    d.faults = faults;
    d.serialRate = r.serialRate;
    if (faults.dropEvery != dropEveryCounted) {
        dropEveryCounted = faults.dropEvery;
        replies = 0;
    }
    ++replies;
    d.drop = faults.dropEvery != 0 && replies % faults.dropEvery == 0;
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
    const Faults& f = d.faults;
    std::vector<std::string> notes;
    if (d.drop) {
        exchange.note = "dropped: every " + Ordinal(f.dropEvery) + " reply";
        return false;
    }
    if (f.wrongId) {
        d.message.Id = OtherRegister(d.message.Id);
        notes.push_back("wrong Id");
    }

    const CanMessageBytes bytes = ToBytes(d.message);
    std::uint8_t frame[kFrameCapacity];
    std::uint32_t n = EncodeFrame(FramingBytes{}, bytes.data(), kCanMessageSize, frame, sizeof frame);
    if (f.corruptChecksum) {
        // The checksum sits before the tail pair, escaped when it is a
        // framing byte. Put a plain byte other than the right sum there.
        const FramingBytes fb;
        const std::uint8_t sum = frame[n - 3];
        const bool escaped = sum == fb.head || sum == fb.tail || sum == fb.escape;
        std::uint8_t wrong = static_cast<std::uint8_t>(sum + 1);
        while (wrong == fb.head || wrong == fb.tail || wrong == fb.escape) ++wrong;
        n -= escaped ? 4 : 3;
        frame[n++] = wrong;
        frame[n++] = fb.tail;
        frame[n++] = fb.tail;
        notes.push_back("checksum corrupted");
    }

    auto until = Clock::now();
    if (f.replyDelayMs != 0) {
        until += std::chrono::milliseconds(f.replyDelayMs);
        notes.push_back("delayed " + std::to_string(f.replyDelayMs) + " ms");
        Emit(RequestText(exchange) + ": holding the reply " + std::to_string(f.replyDelayMs) + " ms");
    }
    if (f.wireTime && d.serialRate != 0) {
        const CanMessageBytes requestBytes = ToBytes(exchange.request);
        std::uint8_t requestFrame[kFrameCapacity];
        const std::uint32_t requestLength =
            EncodeFrame(FramingBytes{}, requestBytes.data(), kCanMessageSize, requestFrame, sizeof requestFrame);
        const std::uint64_t micros = 10ull * (requestLength + n) * 1000000ull / d.serialRate;
        until += std::chrono::microseconds(micros);
        notes.push_back("wire time " + std::to_string(micros / 1000) + " ms");
    }
    if (!Sleep(until)) {
        exchange.note = std::string("not sent: ") + stopReason.load();
        return false;
    }

    std::vector<std::uint8_t> out;
    if (f.noiseBytes != 0) {
        // Half of the noise is framing bytes, the kind a decoder can trip on.
        static constexpr std::uint8_t kFraming[] = {FRAME_HEAD, FRAME_TAIL, FRAME_ESCAPE};
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> framing(0, 5);
        std::uint8_t previous = 0;
        for (std::uint32_t i = 0; i < f.noiseBytes; ++i) {
            std::uint8_t b;
            do {
                const int pick = framing(rng);
                b = pick < 3 ? kFraming[pick] : static_cast<std::uint8_t>(byte(rng));
                // Two head bytes in a row would open a frame.
            } while (b == FRAME_HEAD && previous == FRAME_HEAD);
            out.push_back(b);
            previous = b;
        }
        notes.push_back(std::to_string(f.noiseBytes) + " noise bytes first");
    }
    out.insert(out.end(), frame, frame + n);
    if (f.byteByByte) notes.push_back("byte by byte");

    // Entered before the write, so whoever has the reply finds it logged.
    exchange.answered = true;
    exchange.reply = d.message;
    for (std::size_t i = 0; i < notes.size(); ++i) exchange.note += (i ? ", " : "") + notes[i];
    const LogSlot slot = AddToLog(exchange);

    bool written = true;
    if (f.byteByByte) {
        for (std::size_t i = 0; i < out.size() && written; ++i) {
            if (i != 0 && !Sleep(Clock::now() + std::chrono::milliseconds(kByteGapMs))) written = false;
            if (written) written = WriteAll(&out[i], 1);
        }
    } else {
        written = WriteAll(out.data(), out.size());
    }
    if (!written) {
        exchange.answered = false;
        exchange.note = std::string("not sent: ") + (stopThread.load() ? stopReason.load() : "the line is blocked");
        UpdateLog(slot, exchange);
    }
    return true;
}

bool VirtualAdapter::Impl::OpenTerminal(std::string* error) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        SetError(error, ErrnoText("posix_openpt", errno));
        return false;
    }
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        SetError(error, ErrnoText("cannot prepare the pseudo-terminal", errno));
        CloseTerminal();
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        SetError(error, ErrnoText(std::string("cannot open ") + name, errno));
        CloseTerminal();
        return false;
    }
    if (!SetRawKeepSpeed(slave)) {
        SetError(error, ErrnoText(std::string("cannot set up ") + name, errno));
        CloseTerminal();
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    slavePath = name;
    return true;
}

void VirtualAdapter::Impl::CloseTerminal() {
    // The master first: the tool sees the hang-up right away.
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = -1;
    slave = -1;
}

bool VirtualAdapter::Impl::RegisterLink(int wanted, std::string* error) {
    std::string target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        target = slavePath;
    }
    std::string reason;
    if (wanted > 0) {
        const std::string path = portDirectory + "/COM" + std::to_string(wanted);
        if (CreatePortLink(path, target, &reason) != LinkResult::Created) {
            SetError(error, "COM" + std::to_string(wanted) + ": " + reason);
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        com = wanted;
        linkPath = path;
        return true;
    }
    PortSources sources = DefaultPortSources();
    sources.portDirectory = portDirectory;
    std::set<int> shown;
    for (const PortEntry& e : ListSerialPorts(sources)) shown.insert(e.number);
    for (int n = 1; n <= kMaxDefaultCom; ++n) {
        if (shown.count(n)) continue;
        const std::string path = portDirectory + "/COM" + std::to_string(n);
        const LinkResult result = CreatePortLink(path, target, &reason);
        if (result == LinkResult::Created) {
            std::lock_guard<std::mutex> lock(mutex);
            com = n;
            linkPath = path;
            return true;
        }
        if (result == LinkResult::Failed) break;
    }
    SetError(error, reason.empty() ? "no free COM number" : reason);
    return false;
}

void VirtualAdapter::Impl::RemoveLink() {
    std::string path, target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        path = linkPath;
        target = slavePath;
    }
    // Only our own link: someone may have taken the name since.
    if (!path.empty() && ReadLinkText(path) == target) ::unlink(path.c_str());
}

bool VirtualAdapter::Impl::StartThread(std::string* error) {
    stopThread.store(false);
    try {
        thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        SetError(error, std::string("cannot start the adapter's thread: ") + e.what());
        return false;
    }
    return true;
}

void VirtualAdapter::Impl::StopThread() {
    stopThread.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex);
        Wake();
    }
    if (thread.joinable()) thread.join();
}

void VirtualAdapter::Impl::UnplugLocked(const char* why) {
    stopReason.store(why);
    StopThread();
    CloseTerminal();
    RemoveLink();
    std::lock_guard<std::mutex> lock(mutex);
    plugged = false;
}

VirtualAdapter::VirtualAdapter(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualAdapter::~VirtualAdapter() { Stop(); }

bool VirtualAdapter::Start(std::string* error) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (IsRunning()) {
        SetError(error, "the adapter is already running");
        return false;
    }
    const std::string directory =
        d.options.portDirectory.empty() ? DefaultPortDirectory() : d.options.portDirectory;
    if (!EnsurePortDirectory(directory, error)) return false;
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        SetError(error, ErrnoText("eventfd", errno));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.portDirectory = directory;
        d.wakeFd = wake;
    }
    auto fail = [&] {
        d.CloseTerminal();
        std::lock_guard<std::mutex> lock(d.mutex);
        ::close(d.wakeFd);
        d.wakeFd = -1;
        return false;
    };
    if (!d.OpenTerminal(error)) return fail();
    if (!d.RegisterLink(d.options.com, error)) return fail();
    if (!d.StartThread(error)) {
        d.RemoveLink();
        return fail();
    }
    std::lock_guard<std::mutex> lock(d.mutex);
    d.running = true;
    d.plugged = true;
    return true;
}

void VirtualAdapter::Stop() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsRunning()) return;
    if (IsPlugged()) d.UnplugLocked("stopped");
    std::lock_guard<std::mutex> lock(d.mutex);
    ::close(d.wakeFd);
    d.wakeFd = -1;
    d.running = false;
}

bool VirtualAdapter::IsRunning() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->running;
}

bool VirtualAdapter::IsPlugged() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->plugged;
}

int VirtualAdapter::ComNumber() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->com;
}

std::string VirtualAdapter::SlavePath() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->slavePath;
}

std::string VirtualAdapter::LinkPath() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->linkPath;
}

Registers VirtualAdapter::GetRegisters() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->registers;
}

void VirtualAdapter::SetRegisters(const Registers& registers) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->registers = registers;
}

void VirtualAdapter::SetFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults = faults;
    impl_->Wake();
}

Faults VirtualAdapter::GetFaults() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->faults;
}

std::vector<Exchange> VirtualAdapter::Log() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log;
}

void VirtualAdapter::ClearLog() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
    ++impl_->logGeneration;
}

bool VirtualAdapter::WaitForRequests(std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return impl_->log.size() >= count; });
}

void VirtualAdapter::Unplug() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsPlugged()) return;
    d.UnplugLocked("unplugged");
    d.Emit("unplugged");
}

bool VirtualAdapter::Replug(std::string* error) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> life(d.lifeMutex);
    if (!IsRunning()) {
        SetError(error, "the adapter is not running");
        return false;
    }
    if (IsPlugged()) d.UnplugLocked("unplugged");
    int com;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        com = d.com;
        d.registers.serialRate = d.registers.pendingSerialRate;
    }
    if (!d.OpenTerminal(error)) return false;
    if (!d.RegisterLink(com, error)) {
        d.CloseTerminal();
        return false;
    }
    if (!d.StartThread(error)) {
        d.RemoveLink();
        d.CloseTerminal();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.plugged = true;
    }
    d.Emit("plugged in again on COM" + std::to_string(com) + " (" + SlavePath() + "), serial rate " +
           std::to_string(GetRegisters().serialRate));
    return true;
}

void VirtualAdapter::SetLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->sink = std::move(sink);
}

}  // namespace tavrol::sim
