// Transactions against the in-process virtual adapter, each next to a floor
// taken in the same run: the bare cost of the same bytes crossing a
// pseudo-terminal, or their time on the wire.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench.h"
#include "bench_adapter.h"
#include "can_message.h"
#include "frame_codec.h"
#include "registers.h"
#include "rt_can.h"

namespace tavrol::bench {

AdapterOnPty::AdapterOnPty(sim::Faults faults) {
    sim::Options options;
    options.portDirectory = dir_.Path() + "/ports";
    options.faults = faults;
    adapter_ = std::make_unique<sim::VirtualAdapter>(options);
    std::string error;
    if (!adapter_->Start(&error)) throw std::runtime_error("virtual adapter: " + error);
    PortSources sources = DefaultPortSources();
    sources.portDirectory = options.portDirectory;
    catalog_ = std::make_unique<PortCatalog>(sources);
}

AdapterOnPty::~AdapterOnPty() { adapter_->Stop(); }

std::string AdapterOnPty::PortDirectory() const { return dir_.Path() + "/ports"; }

namespace {

// The registers one settings load reads, in its order: the identifier, the
// fourteen filters, bus-off management, retransmission, the CAN bit rate.
std::vector<std::uint32_t> LoadSequence() {
    std::vector<std::uint32_t> ids = {REG_CPUID_LO, REG_CPUID_HI};
    for (int n = 0; n < kFilterCount; ++n) ids.push_back(REG_FILTER_0 + static_cast<std::uint32_t>(n));
    ids.push_back(REG_ABOM);
    ids.push_back(REG_ART);
    ids.push_back(REG_CAN_BAUD);
    return ids;
}

// Runs the sequence once; false when any read did not give CFG_OK.
bool ReadAll(RT_CAN& can, const std::vector<std::uint32_t>& ids) {
    for (const std::uint32_t id : ids) {
        std::uint8_t value[8];
        std::uint32_t length = sizeof value;
        if (can.ReadRegister(id, value, &length, 1000) != CFG_OK) return false;
    }
    return true;
}

std::vector<std::uint8_t> Frame(const CanMessage& m) {
    const CanMessageBytes bytes = ToBytes(m);
    std::vector<std::uint8_t> out(MaxFrameSize(kCanMessageSize));
    out.resize(EncodeFrame(FramingBytes{}, bytes.data(), kCanMessageSize, out.data(),
                           static_cast<std::uint32_t>(out.size())));
    return out;
}

// ---------------------------------------------------------------------------
// The floor: one 21-byte frame out through a pseudo-terminal, a 21-byte
// answer back from a peer thread on the master side. Both ends are set up
// as the link and the adapter set theirs up (raw line, non-blocking
// descriptors, poll then read in chunks of up to 64 bytes); each end knows
// the answer is 21 bytes and reads until it has them.

constexpr std::size_t kFloorFrame = 21;
constexpr int kPeerPollMs = 50;
constexpr int kFloorGiveUpMs = 5000;

bool WriteFully(int fd, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 1000);
    }
    return true;
}

// Reads until `want` bytes are in; false on an error or hang-up, when `stop`
// is set while waiting, or when nothing comes for `giveUpMs`.
bool ReadFully(int fd, std::size_t want, const std::atomic<bool>& stop, int giveUpMs) {
    std::uint8_t chunk[64];
    std::size_t got = 0;
    int quiet = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, want - got));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            quiet = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, kPeerPollMs);
        if (r < 0 && errno != EINTR) return false;
        if (r == 0) {
            quiet += kPeerPollMs;
            if (stop.load() || quiet >= giveUpMs) return false;
        }
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) return false;
    }
    return true;
}

std::vector<double> FloorRoundTrips(int count) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("posix_openpt");
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("ptsname_r");
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error("open slave");
    // The tool's side of the line, as the link sets it (on a pseudo-terminal
    // the master has no settings of its own that matter here).
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetspeed(&t, B115200);
    if (::tcsetattr(slave, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr");

    CanMessage request;
    request.Id = 0x123;
    request.Dlc = 8;
    request.Kind = KIND_CONFIG;
    request.Extended = 1;
    request.Remote = 1;
    const std::vector<std::uint8_t> out = Frame(request);
    CanMessage reply = request;
    reply.Remote = 0;
    const std::vector<std::uint8_t> back = Frame(reply);
    if (out.size() != kFloorFrame || back.size() != kFloorFrame) throw std::logic_error("floor frames are not 21 bytes");

    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop.load()) {
            if (!ReadFully(master, kFloorFrame, stop, kFloorGiveUpMs)) continue;
            WriteFully(master, back.data(), back.size());
        }
    });

    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const auto t0 = Clock::now();
        ok = WriteFully(slave, out.data(), out.size()) && ReadFully(slave, kFloorFrame, stop, kFloorGiveUpMs);
        times.push_back(Micros(Clock::now() - t0));
    }
    stop = true;
    peer.join();
    ::close(slave);
    ::close(master);
    if (!ok) throw std::runtime_error("floor round trip failed");
    return times;
}

// Wire time of one exchange at `rate`: 10 bits per byte of the request frame
// and of the reply frame.
double WireMicros(const sim::Exchange& e, std::uint32_t rate) {
    const std::size_t bytes = Frame(e.request).size() + Frame(e.reply).size();
    return 10.0 * static_cast<double>(bytes) * 1e6 / rate;
}

constexpr int kWarmUp = 20;

}  // namespace

void RunRoundTrips(const Settings& s, std::vector<Row>& rows) {
    const std::string rtName = "ReadRegister round trip (CFG_OK, pty, virtual adapter)";
    const std::string loadName = "settings load: 19 reads (2 identifier, 14 filters, ABOM, ART, CAN bit rate)";
    const std::string wireName = "settings load with the adapter's wire time at 115200 bit/s";
    const std::vector<std::uint32_t> ids = LoadSequence();

    std::vector<double> floor;
    try {
        floor = FloorRoundTrips(s.roundTrips);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(rtName + ", median", "≤ 2 × floor", e.what()));
        rows.push_back(FailedRow(loadName, "≤ 2 × floor", e.what()));
        rows.push_back(FailedRow(wireName, "≤ 1.1 × floor", e.what()));
        return;
    }
    const double floorMedian = Median(floor);
    const double floorP99 = Percentile(floor, 99);

    // Plain adapter: single round trips, then whole loads.
    try {
        AdapterOnPty rig;
        RT_CAN can(CreateSystemSerialPort(), &rig.Catalog());
        if (can.Open(rig.Adapter().ComNumber(), 115200) == 0) throw std::runtime_error("Open failed");
        for (int i = 0; i < kWarmUp; ++i) ReadAll(can, {REG_CPUID_LO});

        std::vector<double> times;
        times.reserve(static_cast<std::size_t>(s.roundTrips));
        int failed = 0;
        for (int i = 0; i < s.roundTrips; ++i) {
            std::uint8_t value[8];
            std::uint32_t length = sizeof value;
            const auto t0 = Clock::now();
            const int r = can.ReadRegister(REG_CPUID_LO, value, &length, 1000);
            times.push_back(Micros(Clock::now() - t0));
            if (r != CFG_OK) ++failed;
        }
        rig.Adapter().ClearLog();
        const double median = Median(times);
        const double p99 = Percentile(times, 99);
        Row m;
        m.figure = rtName + ", median of " + std::to_string(s.roundTrips);
        m.measured = FormatUs(median);
        m.floor = FormatUs(floorMedian);
        m.ratio = median / floorMedian;
        m.target = "≤ 2 × floor";
        m.met = failed == 0 && *m.ratio <= 2.0;
        if (failed != 0) m.note = std::to_string(failed) + " reads did not give CFG_OK";
        rows.push_back(m);
        Row p;
        p.figure = rtName + ", 99th percentile";
        p.measured = FormatUs(p99);
        p.floor = FormatUs(floorP99);
        p.ratio = p99 / floorP99;
        p.target = "–";
        rows.push_back(p);

        std::vector<double> loads;
        failed = 0;
        for (int i = 0; i < s.loadSequences; ++i) {
            const auto t0 = Clock::now();
            if (!ReadAll(can, ids)) ++failed;
            loads.push_back(Micros(Clock::now() - t0));
            rig.Adapter().ClearLog();
        }
        const double loadMedian = Median(loads);
        Row l;
        l.figure = loadName + ", median of " + std::to_string(s.loadSequences);
        l.measured = FormatUs(loadMedian);
        l.floor = FormatUs(19 * floorMedian) + " (19 × floor)";
        l.ratio = loadMedian / (19 * floorMedian);
        l.target = "≤ 2 × floor";
        l.met = failed == 0 && *l.ratio <= 2.0;
        if (failed != 0) l.note = std::to_string(failed) + " loads had a read without CFG_OK";
        rows.push_back(l);
        can.Close();
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(rtName + ", median", "≤ 2 × floor", e.what()));
        rows.push_back(FailedRow(loadName, "≤ 2 × floor", e.what()));
    }

    // The adapter holds every reply for the frames' time on the wire.
    try {
        sim::Faults faults;
        faults.wireTime = true;
        AdapterOnPty rig(faults);
        RT_CAN can(CreateSystemSerialPort(), &rig.Catalog());
        if (can.Open(rig.Adapter().ComNumber(), 115200) == 0) throw std::runtime_error("Open failed");
        ReadAll(can, ids);
        rig.Adapter().ClearLog();

        std::vector<double> loads, wires;
        int failed = 0;
        for (int i = 0; i < s.wireSequences; ++i) {
            const auto t0 = Clock::now();
            if (!ReadAll(can, ids)) ++failed;
            loads.push_back(Micros(Clock::now() - t0));
            double wire = 0;
            const std::vector<sim::Exchange> log = rig.Adapter().Log();
            for (const sim::Exchange& e : log) wire += WireMicros(e, 115200);
            if (log.size() != ids.size()) ++failed;
            wires.push_back(wire);
            rig.Adapter().ClearLog();
        }
        const double loadMedian = Median(loads);
        const double wire = Median(wires);
        Row w;
        w.figure = wireName + ", median of " + std::to_string(s.wireSequences);
        w.measured = FormatUs(loadMedian);
        w.floor = FormatUs(wire) + " (wire time)";
        w.ratio = loadMedian / wire;
        w.target = "≤ 1.1 × floor";
        w.met = failed == 0 && *w.ratio <= 1.1;
        if (failed != 0) w.note = std::to_string(failed) + " loads had a read without CFG_OK";
        rows.push_back(w);
        can.Close();
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(wireName, "≤ 1.1 × floor", e.what()));
    }
}

void RunRateSearch(const Settings& s, std::vector<Row>& rows) {
    static constexpr std::array<int, 29> kRates = {300,    600,    1200,   1800,   2400,   4000,   4800,   7200,
                                                   9600,   14400,  16000,  19200,  28800,  38400,  51200,  56000,
                                                   57600,  64000,  76800,  115200, 128000, 153600, 230400, 250000,
                                                   256000, 460800, 500000, 576000, 921600};
    const std::string name = "rate search finding 115200 after 19 rates time out";
    const std::string target = "≤ 1.01 × floor";
    try {
        AdapterOnPty rig;
        RT_CAN can(CreateSystemSerialPort(), &rig.Catalog());
        const int com = rig.Adapter().ComNumber();
        int found = -1;
        int tried = 0;
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < kRates.size(); ++i) {
            ++tried;
            if (can.Open(com, kRates[i]) == 0) throw std::runtime_error("Open failed at " + std::to_string(kRates[i]));
            std::uint8_t id[8];
            std::uint32_t length = 8;
            if (can.ReadRegister(REG_CPUID_LO, id, &length, s.searchTimeoutMs) == CFG_OK &&
                can.ReadRegister(REG_CPUID_HI, id, &length, s.searchTimeoutMs) == CFG_OK) {
                found = kRates[i];
                break;
            }
            can.Close();
        }
        const double ms = Millis(Clock::now() - t0);
        can.Close();
        const double floor = 19.0 * (s.searchTimeoutMs + 2.0 * RT_COM::kSettlePauseMs);
        Row r;
        r.figure = name + " (time-out " + std::to_string(s.searchTimeoutMs) + " ms)";
        r.measured = FormatMs(ms);
        r.floor = FormatMs(floor) + " (19 × (" + std::to_string(s.searchTimeoutMs) + " + 2 × " +
                  std::to_string(RT_COM::kSettlePauseMs) + " ms))";
        r.note = "the floor leaves out the successful attempt's own pauses and reads";
        r.ratio = ms / floor;
        r.target = target;
        r.met = found == 115200 && tried == 20 && *r.ratio <= 1.01;
        if (found != 115200 || tried != 20)
            r.note = "found " + std::to_string(found) + " after " + std::to_string(tried) + " attempts";
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, target, e.what()));
    }
}

// How long Close of an open, idle link takes: the reader waits for data and
// must be woken, not waited out.
void RunCloseTimes(const Settings& s, std::vector<Row>& rows) {
    const std::string name = "Close of an open, idle link, median of " + std::to_string(s.closeRepeats);
    const std::string target = "≤ 5 ms";
    try {
        AdapterOnPty rig;
        RT_CAN can(CreateSystemSerialPort(), &rig.Catalog());
        const int com = rig.Adapter().ComNumber();
        std::vector<double> times;
        for (int i = 0; i < s.closeRepeats; ++i) {
            if (can.Open(com, 115200) == 0) throw std::runtime_error("Open failed");
            if (!ReadAll(can, {REG_CPUID_LO})) throw std::runtime_error("no reply");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the reader is waiting again
            const auto t0 = Clock::now();
            can.Close();
            times.push_back(Millis(Clock::now() - t0));
        }
        Row r;
        r.figure = name;
        r.measured = FormatMs(Median(times));
        r.target = target;
        r.met = Median(times) <= 5.0;
        r.note = "slowest " + FormatMs(Percentile(times, 100));
        rows.push_back(r);
    } catch (const std::exception& e) {
        rows.push_back(FailedRow(name, target, e.what()));
    }
}

}  // namespace tavrol::bench
