#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <ostream>
#include <set>

#include "adapter_fixture.h"
#include "port_catalog.h"
#include "port_directory.h"
#include "registers.h"

namespace tavrol::simtest {
namespace {

using sim::Exchange;
using sim::Options;
using sim::Registers;
using sim::VirtualAdapter;

const std::array<std::uint8_t, 12> kCpuid = {0xA5, 0x01, 0xAA, 0x55, 0x04, 0x05,
                                             0x06, 0x07, 0xF8, 0x09, 0x0A, 0xFF};

Bytes LE32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string ReadLink(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The reply shape every answered request must have: the register's Id, its
// value in the first `size` data bytes and zeros behind, Dlc = size, the
// configuration mark, extended, not remote.
void ExpectReply(const std::optional<CanMessage>& reply, std::uint32_t id, const Bytes& value) {
    ASSERT_TRUE(reply.has_value()) << "no reply for " << sim::RegisterName(id);
    EXPECT_EQ(reply->Id, id);
    EXPECT_EQ(reply->Dlc, RegisterSizeOf(id));
    EXPECT_EQ(reply->Kind, KIND_CONFIG);
    EXPECT_EQ(reply->Extended, 1);
    EXPECT_EQ(reply->Remote, 0);
    Bytes data(reply->Data, reply->Data + 8);
    Bytes expected = value;
    expected.resize(8, 0);
    EXPECT_EQ(data, expected) << sim::RegisterName(id);
}

struct RegisterCase {
    std::uint32_t id;
    Bytes factory;  // what a read gives at start
    Bytes written;  // what a write sends
    Bytes stored;   // what the reply and later reads give
};

std::vector<RegisterCase> RegisterCases() {
    const Bytes lo(kCpuid.begin(), kCpuid.begin() + 8);
    const Bytes hi(kCpuid.begin() + 8, kCpuid.end());
    const auto filter = EncodeFilter(0x1ABCDEF0, 0x1FFFFFFF, true, true);
    const Bytes filterBytes(filter.begin(), filter.end());
    return {
        {REG_USART_BAUD, LE32(115200), LE32(9600), LE32(9600)},
        {REG_ART, {1}, {0}, {0}},
        {REG_ABOM, {1}, {2}, {2}},
        {REG_CAN_BAUD, LE32(500000), LE32(250000), LE32(250000)},
        {REG_FILTER_0, Bytes(8, 0), filterBytes, filterBytes},
        {REG_FILTER_0 + 7, Bytes(8, 0), {0xAA, 0x55, 0xA5, 0, 1, 2, 3, 4}, {0xAA, 0x55, 0xA5, 0, 1, 2, 3, 4}},
        {REG_FILTER_13, Bytes(8, 0), filterBytes, filterBytes},
        // The identifier is read-only: a write is answered with it unchanged.
        {REG_CPUID_LO, lo, Bytes(8, 0x11), lo},
        {REG_CPUID_HI, hi, Bytes(4, 0x22), hi},
    };
}

TEST_F(AdapterTest, ReadsAndWritesEveryKindOfRegister) {
    Options options;
    options.cpuid = kCpuid;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    ASSERT_NO_FATAL_FAILURE(OpenTool());

    for (const RegisterCase& c : RegisterCases()) {
        SCOPED_TRACE(sim::RegisterName(c.id));
        ExpectReply(tool.Transact(ReadRequest(c.id)), c.id, c.factory);
        ExpectReply(tool.Transact(WriteRequest(c.id, c.written)), c.id, c.stored);
        ExpectReply(tool.Transact(ReadRequest(c.id)), c.id, c.stored);
    }

    const Registers r = adapter->GetRegisters();
    EXPECT_EQ(r.pendingSerialRate, 9600u);
    EXPECT_EQ(r.serialRate, 115200u) << "a new serial rate waits for the next connection";
    EXPECT_EQ(r.art, 0);
    EXPECT_EQ(r.abom, 2);
    EXPECT_EQ(r.canBaud, 250000u);
    EXPECT_EQ(r.filters[7], (std::array<std::uint8_t, 8>{0xAA, 0x55, 0xA5, 0, 1, 2, 3, 4}));
    EXPECT_EQ(r.filters[1], (std::array<std::uint8_t, 8>{}));

    // Three exchanges per register, all answered, in the order sent.
    const std::vector<Exchange> log = adapter->Log();
    ASSERT_EQ(log.size(), 3 * RegisterCases().size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_TRUE(log[i].answered) << i;
        EXPECT_EQ(log[i].request.Id, RegisterCases()[i / 3].id) << i;
    }
}

TEST_F(AdapterTest, FactoryResetRestoresEverythingButTheIdentifier) {
    Options options;
    options.cpuid = kCpuid;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    for (const RegisterCase& c : RegisterCases()) ASSERT_TRUE(tool.Transact(WriteRequest(c.id, c.written)));
    ASSERT_NE(adapter->GetRegisters().canBaud, 500000u);

    ExpectReply(tool.Transact(WriteRequest(REG_FACTORY_RESET, LE32(1))), REG_FACTORY_RESET, LE32(1));
    const Registers r = adapter->GetRegisters();
    EXPECT_EQ(r.art, 1);
    EXPECT_EQ(r.abom, 1);
    EXPECT_EQ(r.canBaud, 500000u);
    EXPECT_EQ(r.pendingSerialRate, 115200u);
    for (const auto& f : r.filters) EXPECT_EQ(f, (std::array<std::uint8_t, 8>{}));
    for (const RegisterCase& c : RegisterCases()) {
        ExpectReply(tool.Transact(ReadRequest(c.id)), c.id, c.factory);
    }
    // Any value resets; the register itself reads 0.
    ASSERT_TRUE(tool.Transact(WriteRequest(REG_ART, {0})));
    ExpectReply(tool.Transact(WriteRequest(REG_FACTORY_RESET, LE32(0xDEADBEEF))), REG_FACTORY_RESET,
                LE32(0xDEADBEEF));
    EXPECT_EQ(adapter->GetRegisters().art, 1);
    ExpectReply(tool.Transact(ReadRequest(REG_FACTORY_RESET)), REG_FACTORY_RESET, LE32(0));
}

TEST_F(AdapterTest, SetRegistersIsWhatTheToolReads) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    Registers r;
    r.canBaud = 125000;
    r.abom = 0;
    r.filters[3] = {1, 2, 3, 4, 5, 6, 7, 8};
    adapter->SetRegisters(r);
    ExpectReply(tool.Transact(ReadRequest(REG_CAN_BAUD)), REG_CAN_BAUD, LE32(125000));
    ExpectReply(tool.Transact(ReadRequest(REG_ABOM)), REG_ABOM, {0});
    ExpectReply(tool.Transact(ReadRequest(REG_FILTER_0 + 3)), REG_FILTER_0 + 3, {1, 2, 3, 4, 5, 6, 7, 8});
}

// Frames the adapter must not answer. Each is followed by a good read; the
// next reply the tool sees must be that read's, so a stray answer shows.
TEST_F(AdapterTest, NoReplyToAnythingButARegisterRequest) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool());

    CanMessage ordinary = ReadRequest(REG_ART);
    ordinary.Kind = 0x00;
    CanMessage almost = ReadRequest(REG_ART);
    almost.Kind = 0xFE;
    CanMessage remote2 = ReadRequest(REG_ART);
    remote2.Remote = 2;
    CanMessage flagged = ReadRequest(REG_ART);
    flagged.Id = 0x81FFFEA0;
    const Bytes sixteen = BytesOf(ReadRequest(REG_ART));
    struct Case {
        const char* what;
        Bytes payload;
        const char* note;
    } cases[] = {
        {"no register at 0x1FFFEC0", BytesOf(ReadRequest(0x1FFFEC0)), "unknown register"},
        {"none behind the last filter", BytesOf(ReadRequest(0x1FFFEEE)), "unknown register"},
        {"none behind the identifier", BytesOf(ReadRequest(0x1FFFFF2)), "unknown register"},
        {"identifier 0", BytesOf(ReadRequest(0)), "unknown register"},
        {"flag bits above the register", BytesOf(flagged), "unknown register"},
        {"write to an unknown register", BytesOf(WriteRequest(0x1FFFEC0, LE32(5))), "unknown register"},
        {"ordinary message", BytesOf(ordinary), "not a configuration message"},
        {"Kind 0xFE", BytesOf(almost), "not a configuration message"},
        {"Remote 2", BytesOf(remote2), "Remote"},
        {"15 bytes", Bytes(sixteen.begin(), sixteen.end() - 1), "16-byte"},
        {"17 bytes", Concat(sixteen, {0}), "16-byte"},
        {"empty frame", Bytes{}, "16-byte"},
        {"write with Dlc below the size", BytesOf(WriteRequest(REG_CAN_BAUD, LE32(1000), 3)), "Dlc 3"},
        {"write with Dlc above 8", BytesOf(WriteRequest(REG_ART, {0}, 9)), "Dlc 9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        adapter->ClearLog();
        ASSERT_TRUE(tool.SendPayload(c.payload));
        ExpectReply(tool.Transact(ReadRequest(REG_CAN_BAUD)), REG_CAN_BAUD, LE32(500000));
        const std::vector<Exchange> log = adapter->Log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_FALSE(log[0].answered);
        EXPECT_EQ(log[0].length, c.payload.size());
        EXPECT_NE(log[0].note.find(c.note), std::string::npos) << log[0].note;
        EXPECT_NE(sim::Describe(log[0]).find("no reply"), std::string::npos) << sim::Describe(log[0]);
    }
    // Nothing refused was stored.
    const Registers r = adapter->GetRegisters();
    EXPECT_EQ(r.canBaud, 500000u);
    EXPECT_EQ(r.art, 1);
}

TEST_F(AdapterTest, AWriteWithALongerDlcStoresTheRegistersBytes) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    ExpectReply(tool.Transact(WriteRequest(REG_ART, {0}, 8)), REG_ART, {0});
    ExpectReply(tool.Transact(WriteRequest(REG_CAN_BAUD, LE32(1000000), 8)), REG_CAN_BAUD, LE32(1000000));
    EXPECT_EQ(adapter->GetRegisters().canBaud, 1000000u);
}

struct RateCase {
    std::uint32_t adapterRate;
    std::uint32_t toolRate;
    bool answered;
};

void PrintTo(const RateCase& c, std::ostream* os) {
    *os << "adapter " << c.adapterRate << ", tool " << c.toolRate << (c.answered ? ", answered" : ", silent");
}

class RateGateTest : public AdapterTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(RateGateTest, AnswersOnlyAtItsSerialRate) {
    const RateCase c = GetParam();
    Options options;
    options.serialRate = c.adapterRate;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    ASSERT_NO_FATAL_FAILURE(OpenTool(c.toolRate));
    ASSERT_TRUE(tool.Send(ReadRequest(REG_CAN_BAUD)));
    if (c.answered) {
        ExpectReply(tool.NextReply(3000), REG_CAN_BAUD, LE32(500000));
        return;
    }
    // The bytes were thrown away, not decoded: nothing in the log, no reply.
    ASSERT_TRUE(lines.WaitFor("ignored"));
    EXPECT_FALSE(tool.NextFrame(200).has_value());
    EXPECT_TRUE(adapter->Log().empty());
    // At the right speed the same line is answered.
    ASSERT_TRUE(tool.SetRate(c.adapterRate));
    ExpectReply(tool.Transact(ReadRequest(REG_CAN_BAUD)), REG_CAN_BAUD, LE32(500000));
    EXPECT_EQ(adapter->Log().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rates, RateGateTest,
                         ::testing::Values(RateCase{115200, 115200, true}, RateCase{115200, 9600, false},
                                           RateCase{115200, 230400, false}, RateCase{9600, 9600, true},
                                           RateCase{9600, 115200, false}, RateCase{250000, 250000, true},
                                           RateCase{250000, 256000, false}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                             return "Adapter" + std::to_string(info.param.adapterRate) + "Tool" +
                                    std::to_string(info.param.toolRate);
                         });

TEST_F(AdapterTest, NewSerialRateAppliesWhenTheToolComesBackAtAnotherSpeed) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool(115200));
    // Answered at the old rate, and the connection goes on at it.
    ExpectReply(tool.Transact(WriteRequest(REG_USART_BAUD, LE32(9600))), REG_USART_BAUD, LE32(9600));
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});
    EXPECT_EQ(adapter->GetRegisters().serialRate, 115200u);

    tool.Close();
    ASSERT_NO_FATAL_FAILURE(OpenTool(9600));
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});
    EXPECT_EQ(adapter->GetRegisters().serialRate, 9600u);

    // The old rate is gone for good.
    tool.Close();
    ASSERT_NO_FATAL_FAILURE(OpenTool(115200));
    ASSERT_TRUE(tool.Send(ReadRequest(REG_ART)));
    ASSERT_TRUE(lines.WaitFor("ignored"));
    EXPECT_FALSE(tool.NextFrame(200).has_value());
}

TEST_F(AdapterTest, ReopeningAtTheOldSpeedKeepsTheOldRate) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool(115200));
    ASSERT_TRUE(tool.Transact(WriteRequest(REG_USART_BAUD, LE32(57600))));
    tool.Close();
    ASSERT_NO_FATAL_FAILURE(OpenTool(115200));
    ExpectReply(tool.Transact(ReadRequest(REG_CAN_BAUD)), REG_CAN_BAUD, LE32(500000));
    EXPECT_EQ(adapter->GetRegisters().serialRate, 115200u);
    EXPECT_EQ(adapter->GetRegisters().pendingSerialRate, 57600u);
    // A rate of 0 could never be reached again; it is not taken.
    ExpectReply(tool.Transact(WriteRequest(REG_USART_BAUD, LE32(0))), REG_USART_BAUD, LE32(57600));
}

TEST_F(AdapterTest, RateRestoredByFactoryResetWaitsForTheNextConnection) {
    Options options;
    options.serialRate = 19200;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    ASSERT_NO_FATAL_FAILURE(OpenTool(19200));
    ASSERT_TRUE(tool.Transact(WriteRequest(REG_FACTORY_RESET, LE32(1))));
    ExpectReply(tool.Transact(ReadRequest(REG_USART_BAUD)), REG_USART_BAUD, LE32(115200));
    EXPECT_EQ(adapter->GetRegisters().serialRate, 19200u);

    tool.Close();
    ASSERT_NO_FATAL_FAILURE(OpenTool(115200));
    ExpectReply(tool.Transact(ReadRequest(REG_CAN_BAUD)), REG_CAN_BAUD, LE32(500000));
    EXPECT_EQ(adapter->GetRegisters().serialRate, 115200u);
}

TEST_F(AdapterTest, NewSerialRateAppliesAtReplug) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool(115200));
    ASSERT_TRUE(tool.Transact(WriteRequest(REG_USART_BAUD, LE32(57600))));
    tool.Close();
    std::string error;
    ASSERT_TRUE(adapter->Replug(&error)) << error;
    EXPECT_EQ(adapter->GetRegisters().serialRate, 57600u);
    ASSERT_NO_FATAL_FAILURE(OpenTool(57600));
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});
}

TEST_F(AdapterTest, ToolMayCloseAndReopenManyTimes) {
    Options options;
    options.cpuid = kCpuid;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    std::size_t exchanges = 0;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NO_FATAL_FAILURE(OpenTool());
        ExpectReply(tool.Transact(ReadRequest(REG_CPUID_HI)), REG_CPUID_HI, Bytes(kCpuid.begin() + 8, kCpuid.end()));
        ++exchanges;
        if (i % 2) {
            // The tool goes away in the middle of a request; the next
            // session's head pair starts afresh.
            const Bytes frame = FrameOf(ReadRequest(REG_ART));
            ASSERT_TRUE(tool.SendRaw(Bytes(frame.begin(), frame.begin() + 10)));
        } else if (i % 4 == 0) {
            // Or right after a request that gets no reply. (Wait for it: the
            // next opening's purge would throw away what is still unread.)
            ASSERT_TRUE(tool.Send(ReadRequest(0x1FFFEC0)));
            ASSERT_TRUE(adapter->WaitForRequests(++exchanges, 3000));
        }
        tool.Close();
    }
    ASSERT_TRUE(adapter->WaitForRequests(exchanges, 3000));
    EXPECT_EQ(adapter->Log().size(), exchanges);
    EXPECT_TRUE(adapter->IsPlugged());
}

TEST_F(AdapterTest, RegistersItsSlaveAsAComLinkAndRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    const std::string link = adapter->LinkPath();
    EXPECT_EQ(link, PortDirectory() + "/COM" + std::to_string(adapter->ComNumber()));
    EXPECT_EQ(ReadLink(link), adapter->SlavePath());
    EXPECT_EQ(adapter->SlavePath().rfind("/dev/pts/", 0), 0u) << adapter->SlavePath();

    PortSources sources = DefaultPortSources();
    sources.portDirectory = PortDirectory();
    bool listed = false;
    for (const PortEntry& e : ListSerialPorts(sources)) {
        if (e.number == adapter->ComNumber()) listed = e.device == adapter->SlavePath() || e.device == link;
    }
    EXPECT_TRUE(listed) << "COM" << adapter->ComNumber() << " is not in the port list";

    adapter->Stop();
    EXPECT_FALSE(Exists(link));
    EXPECT_FALSE(adapter->IsRunning());
}

TEST_F(AdapterTest, DefaultNumberIsTheLowestThePortListDoesNotShow) {
    PortSources sources = DefaultPortSources();
    sources.portDirectory = PortDirectory();
    // Someone else's port holds COM1.
    Options other;
    other.com = 1;
    other.portDirectory = PortDirectory();
    VirtualAdapter first(other);
    std::string error;
    ASSERT_TRUE(first.Start(&error)) << error;
    std::set<int> before;
    for (const PortEntry& e : ListSerialPorts(sources)) before.insert(e.number);
    int lowest = 1;
    while (before.count(lowest)) ++lowest;

    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    EXPECT_EQ(adapter->ComNumber(), lowest);
    EXPECT_EQ(ReadLink(PortDirectory() + "/COM1"), first.SlavePath()) << "an existing port keeps its number";

    // Another adapter takes the next free number.
    Options options;
    options.portDirectory = PortDirectory();
    VirtualAdapter second(options);
    ASSERT_TRUE(second.Start(&error)) << error;
    EXPECT_GT(second.ComNumber(), lowest);
    EXPECT_EQ(before.count(second.ComNumber()), 0u);
    EXPECT_NE(second.SlavePath(), adapter->SlavePath());
}

TEST_F(AdapterTest, RefusesANumberInUseAndReplacesADanglingLink) {
    ASSERT_TRUE(EnsurePortDirectory(PortDirectory(), nullptr));
    const std::string com3 = PortDirectory() + "/COM3";
    const std::string com4 = PortDirectory() + "/COM4";
    ASSERT_EQ(::symlink((dir.Path() + "/gone").c_str(), com3.c_str()), 0);
    std::ofstream(com4) << "not a link";

    Options options;
    options.com = 3;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    EXPECT_EQ(adapter->ComNumber(), 3);
    EXPECT_EQ(ReadLink(com3), adapter->SlavePath());

    options.portDirectory = PortDirectory();
    VirtualAdapter taken(options);
    std::string error;
    EXPECT_FALSE(taken.Start(&error));
    EXPECT_NE(error.find("COM3"), std::string::npos) << error;
    EXPECT_FALSE(taken.IsRunning());
    EXPECT_EQ(ReadLink(com3), adapter->SlavePath()) << "the live link stays";

    options.com = 4;
    VirtualAdapter file(options);
    EXPECT_FALSE(file.Start(&error));
    EXPECT_FALSE(ReadLink(com4).size()) << "the file is left alone";
    EXPECT_TRUE(Exists(com4));

    // The adapter still answers after the refused starts.
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});
}

TEST_F(AdapterTest, StartTwiceIsRefusedAndStopStartRegistersAgain) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    std::string error;
    EXPECT_FALSE(adapter->Start(&error));
    EXPECT_FALSE(error.empty());
    adapter->Stop();
    adapter->Stop();
    ASSERT_TRUE(adapter->Start(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});
}

TEST_F(AdapterTest, UnplugHangsUpAndReplugComesBackUnderTheSameNumber) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    ASSERT_TRUE(tool.Transact(ReadRequest(REG_ART)));
    const int com = adapter->ComNumber();
    const std::string link = adapter->LinkPath();

    adapter->Unplug();
    EXPECT_FALSE(adapter->IsPlugged());
    EXPECT_TRUE(adapter->IsRunning());
    EXPECT_TRUE(tool.WaitForHangUp(3000));
    EXPECT_FALSE(tool.SendRaw(FrameOf(ReadRequest(REG_ART))));
    EXPECT_FALSE(Exists(link)) << "a pulled adapter's port is gone";
    adapter->Unplug();  // twice is harmless

    std::string error;
    ASSERT_TRUE(adapter->Replug(&error)) << error;
    EXPECT_TRUE(adapter->IsPlugged());
    EXPECT_EQ(adapter->ComNumber(), com);
    EXPECT_EQ(adapter->LinkPath(), link);
    EXPECT_EQ(ReadLink(link), adapter->SlavePath());
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});

    // Replug while plugged in is a pull and a push.
    const std::string before = adapter->SlavePath();
    ASSERT_TRUE(adapter->Replug(&error)) << error;
    EXPECT_TRUE(tool.WaitForHangUp(3000));
    EXPECT_NE(adapter->SlavePath(), before);
    EXPECT_EQ(ReadLink(link), adapter->SlavePath());
    adapter->Stop();
    EXPECT_FALSE(Exists(link));
}

// Whether the port list shows COM`number` in `directory`.
bool Listed(const std::string& directory, int number) {
    PortSources sources = DefaultPortSources();
    sources.portDirectory = directory;
    for (const PortEntry& e : ListSerialPorts(sources)) {
        if (e.number == number) return true;
    }
    return false;
}

TEST_F(AdapterTest, ComLinkRemovedAndRestoredWhileTheAdapterStaysPluggedIn) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    const int com = adapter->ComNumber();
    const std::string link = adapter->LinkPath();
    const std::string slave = adapter->SlavePath();
    ASSERT_TRUE(Listed(PortDirectory(), com));

    adapter->RemoveComLink();
    EXPECT_FALSE(Exists(link));
    EXPECT_FALSE(Listed(PortDirectory(), com));
    EXPECT_TRUE(adapter->IsPlugged());
    EXPECT_TRUE(lines.WaitFor("link " + link + " removed"));
    // The port the tool holds is the same terminal: it keeps answering.
    ExpectReply(tool.Transact(WriteRequest(REG_ART, {0})), REG_ART, {0});
    ToolPort other;
    EXPECT_FALSE(other.Open(link, 115200)) << "the removed link still opens";

    std::string error;
    ASSERT_TRUE(adapter->RestoreComLink(&error)) << error;
    EXPECT_EQ(ReadLink(link), slave) << "the link names the same terminal";
    EXPECT_TRUE(Listed(PortDirectory(), com));
    EXPECT_TRUE(lines.WaitFor("link " + link + " restored (" + slave + ")"));
    ASSERT_TRUE(other.Open(link, 115200));
    ExpectReply(other.Transact(ReadRequest(REG_ART)), REG_ART, {0});
    other.Close();
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {0});

    adapter->Stop();
    EXPECT_FALSE(Exists(link));
}

// What sits at COM<n> when the link is to be restored.
enum class Occupant { Nothing, OwnLink, DanglingLink, LinkToALiveDevice, File };

struct RestoreCase {
    const char* name;
    Occupant occupant;
    bool restored;
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.name << (c.restored ? ", restored" : ", refused"); }

class RestoreComLinkTest : public AdapterTest, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreComLinkTest, TakesTheNameOnlyWhenNoLivePortHoldsIt) {
    const RestoreCase c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    const std::string link = adapter->LinkPath();
    if (c.occupant != Occupant::OwnLink) adapter->RemoveComLink();
    ASSERT_EQ(Exists(link), c.occupant == Occupant::OwnLink);
    switch (c.occupant) {
        case Occupant::DanglingLink:
            ASSERT_EQ(::symlink((dir.Path() + "/gone").c_str(), link.c_str()), 0);
            break;
        case Occupant::LinkToALiveDevice:
            ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
            break;
        case Occupant::File:
            std::ofstream(link) << "not a link";
            break;
        default:
            break;
    }
    const std::string before = ReadLink(link);

    std::string error;
    EXPECT_EQ(adapter->RestoreComLink(&error), c.restored) << error;
    if (c.restored) {
        EXPECT_EQ(ReadLink(link), adapter->SlavePath());
        ASSERT_NO_FATAL_FAILURE(OpenTool());
        ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});
        return;
    }
    EXPECT_NE(error.find("COM" + std::to_string(adapter->ComNumber())), std::string::npos) << error;
    EXPECT_EQ(ReadLink(link), before) << "someone else's name was changed";
    // Neither a second removal nor the end takes what is not the adapter's.
    adapter->RemoveComLink();
    adapter->Stop();
    EXPECT_TRUE(Exists(link));
    EXPECT_EQ(ReadLink(link), before);
}

INSTANTIATE_TEST_SUITE_P(Occupants, RestoreComLinkTest,
                         ::testing::Values(RestoreCase{"Nothing", Occupant::Nothing, true},
                                           RestoreCase{"ItsOwnLinkStillThere", Occupant::OwnLink, true},
                                           RestoreCase{"DanglingLink", Occupant::DanglingLink, true},
                                           RestoreCase{"LinkToALiveDevice", Occupant::LinkToALiveDevice, false},
                                           RestoreCase{"File", Occupant::File, false}),
                         [](const ::testing::TestParamInfo<RestoreCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(AdapterTest, ComLinkCallsWhileUnpluggedAndAReplugAfterARemoval) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    const std::string link = adapter->LinkPath();
    adapter->Unplug();
    std::string error;
    EXPECT_FALSE(adapter->RestoreComLink(&error));
    EXPECT_NE(error.find("unplugged"), std::string::npos) << error;
    EXPECT_FALSE(Exists(link)) << "an unplugged adapter's port came back";
    adapter->RemoveComLink();  // nothing to remove

    // A replug registers the link again even when it was removed before.
    ASSERT_TRUE(adapter->Replug(&error)) << error;
    adapter->RemoveComLink();
    ASSERT_FALSE(Exists(link));
    ASSERT_TRUE(adapter->Replug(&error)) << error;
    EXPECT_EQ(ReadLink(link), adapter->SlavePath());
    ASSERT_NO_FATAL_FAILURE(OpenTool());
    ExpectReply(tool.Transact(ReadRequest(REG_ART)), REG_ART, {1});

    tool.Close();
    adapter->Stop();
    EXPECT_FALSE(adapter->RestoreComLink(&error));
    EXPECT_NE(error.find("not running"), std::string::npos) << error;
    EXPECT_FALSE(Exists(link));
}

TEST(DescribeTest, ReadableLines) {
    auto exchange = [](CanMessage request, bool answered, CanMessage reply, std::string note) {
        Exchange e;
        e.request = request;
        e.answered = answered;
        e.reply = reply;
        e.note = std::move(note);
        return e;
    };
    auto reply = [](std::uint32_t id, const Bytes& value) {
        CanMessage m;
        m.Id = id;
        std::memcpy(m.Data, value.data(), value.size());
        m.Dlc = static_cast<std::uint8_t>(value.size());
        m.Kind = KIND_CONFIG;
        m.Extended = 1;
        return m;
    };
    const auto filter = EncodeFilter(0x123, 0x7FF, true, false);
    const Bytes filterBytes(filter.begin(), filter.end());
    struct Case {
        Exchange e;
        const char* line;
    } cases[] = {
        {exchange(ReadRequest(REG_CAN_BAUD), true, reply(REG_CAN_BAUD, LE32(500000)), ""),
         "read REG_CAN_BAUD -> 500000 (Dlc 4)"},
        {exchange(WriteRequest(REG_ART, {0}), true, reply(REG_ART, {0}), ""), "write REG_ART 0 (Dlc 1) -> 0 (Dlc 1)"},
        {exchange(WriteRequest(REG_FILTER_0 + 2, filterBytes), true, reply(REG_FILTER_0 + 2, filterBytes),
                  "delayed 5 ms"),
         "write REG_FILTER_2 id 0x80000123 mask 0x000007FF (Dlc 8) -> id 0x80000123 mask 0x000007FF (Dlc 8) "
         "[delayed 5 ms]"},
        {exchange(ReadRequest(REG_CPUID_HI), true, reply(REG_CPUID_HI, {0x08, 0x09, 0x0a, 0xff}), ""),
         "read REG_CPUID_HI -> 08 09 0a ff (Dlc 4)"},
        {exchange(ReadRequest(REG_ART), true, reply(REG_CAN_BAUD, {1}), "wrong Id"),
         "read REG_ART -> 1 (Dlc 1) with Id REG_CAN_BAUD [wrong Id]"},
        {exchange(ReadRequest(0x1FFFEC0), false, {}, "unknown register"),
         "read 0x1FFFEC0 -> no reply (unknown register)"},
    };
    for (const Case& c : cases) EXPECT_EQ(sim::Describe(c.e), c.line);
}

}  // namespace
}  // namespace tavrol::simtest
