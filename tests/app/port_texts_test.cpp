// Why a port did not open, in the open-failure box, and what an item's
// tooltip says about the device behind it.
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "PortTexts.h"
#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

struct ReasonCase {
    const char* name;
    int error;
    const char* reason;  // UTF-8; empty: the path, a colon and the system's text
};

void PrintTo(const ReasonCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureReasonTest : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(OpenFailureReasonTest, NamesThePathAndTheCause) {
    const ReasonCase& c = GetParam();
    const QString expected = *c.reason != '\0' ? U(c.reason)
                                               : QString("/dev/ttyUSB0: ") + QString::fromLocal8Bit(std::strerror(c.error));
    EXPECT_EQ(OpenFailureReason(c.error, "/dev/ttyUSB0"), expected);
}

const char* const kNoPermission =
    "没有权限打开 /dev/ttyUSB0。请把当前用户加入 dialout 组（sudo usermod -aG dialout $USER），然后重新登录。";
const char* const kInUse = "/dev/ttyUSB0 正被其他程序使用。";
const char* const kMissing = "/dev/ttyUSB0 不存在，设备可能已拔出。";

INSTANTIATE_TEST_SUITE_P(Causes, OpenFailureReasonTest,
                         ::testing::Values(ReasonCase{"NoAccess", EACCES, kNoPermission},
                                           ReasonCase{"NotPermitted", EPERM, kNoPermission},
                                           ReasonCase{"Busy", EBUSY, kInUse},
                                           ReasonCase{"LockHeld", EWOULDBLOCK, kInUse},
                                           ReasonCase{"NoEntry", ENOENT, kMissing},
                                           ReasonCase{"NoDevice", ENODEV, kMissing},
                                           ReasonCase{"NoSuchDeviceOrAddress", ENXIO, kMissing},
                                           ReasonCase{"NotATerminal", ENOTTY, "/dev/ttyUSB0 不是串口设备。"},
                                           ReasonCase{"InputOutputError", EIO, ""},
                                           ReasonCase{"TooManyOpenFiles", EMFILE, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TooltipCase {
    const char* name;
    PortEntry entry;
    const char* tooltip;
};

void PrintTo(const TooltipCase& c, std::ostream* os) { *os << c.name; }

class PortTooltipTest : public ::testing::TestWithParam<TooltipCase> {};

TEST_P(PortTooltipTest, NamesTheDeviceAndWhatTheSystemShowsOfIt) {
    EXPECT_EQ(PortTooltip(GetParam().entry), U(GetParam().tooltip));
}

PortEntry Usb(const char* product, const char* id, const char* serial) {
    PortEntry e;
    e.number = 1;
    e.device = "/dev/ttyUSB0";
    e.usbProduct = product;
    e.usbId = id;
    e.usbSerial = serial;
    return e;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, PortTooltipTest,
    ::testing::Values(TooltipCase{"ProductAndId", Usb("USB Serial", "1a86:7523", ""), "/dev/ttyUSB0 — USB Serial (1a86:7523)"},
                      TooltipCase{"ProductIdAndSerial", Usb("FT232R USB UART", "0403:6001", "A50285BI"),
                                  "/dev/ttyUSB0 — FT232R USB UART (0403:6001, A50285BI)"},
                      TooltipCase{"IdOnly", Usb("", "1a86:7523", ""), "/dev/ttyUSB0 — (1a86:7523)"},
                      TooltipCase{"NoUsbDevice", Usb("", "", ""), "/dev/ttyUSB0"}),
    [](const auto& info) { return std::string(info.param.name); });

// The link's real refusal for a user without access, read by the text:
// a pseudo-terminal owned by root with mode 0600, opened by a child that has
// become the unprivileged user 65534.
TEST(OpenFailureAsAnotherUserTest, NoPermissionNamesTheDialoutGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "handing the port to root needs root";
    int master = -1;
    int slave = -1;
    char name[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(::fchown(slave, 0, 0), 0);
    ASSERT_EQ(::fchmod(slave, 0600), 0);
    int result[2];
    ASSERT_EQ(::pipe(result), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(result[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        RT_COM link(64);
        const int opened = link.OpenTarget(TargetForDevicePath(name), 115200);
        const std::string line = std::to_string(link.LastError()) + " " + link.DevicePath();
        [[maybe_unused]] const ssize_t n = ::write(result[1], line.data(), line.size());
        ::_exit(opened != 0 ? 1 : 0);
    }
    ::close(result[1]);
    char text[256] = {};
    const ssize_t n = ::read(result[0], text, sizeof text - 1);
    ::close(result[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(slave);
    ::close(master);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child opened the port or could not drop root";
    ASSERT_GT(n, 0);
    const QString line = QString::fromUtf8(text, static_cast<int>(n));
    const int error = line.section(' ', 0, 0).toInt();
    const QString path = line.section(' ', 1);
    EXPECT_EQ(path, QString::fromUtf8(name));
    EXPECT_EQ(OpenFailureReason(error, path),
              U("没有权限打开 ") + QString::fromUtf8(name) +
                  U("。请把当前用户加入 dialout 组（sudo usermod -aG dialout $USER），然后重新登录。"));
}

// Real failures through the window.

TEST_F(WindowTest, APortPulledOutBeforeTheClickIsReportedAsMissing) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    ASSERT_TRUE(SelectAdapterPort());
    SelectRate(115200);
    const QString slave = QString::fromStdString(adapter->SlavePath());
    // Pulled out, and clicked before the list could follow.
    adapter->Unplug();
    ClickConnect();
    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    EXPECT_EQ(boxes.shown[0].text, U("打开串口失败！"));
    const QString com = QString("COM%1").arg(adapter->ComNumber());
    EXPECT_TRUE(boxes.shown[0].details == com + U(" 不存在，设备可能已拔出。") ||
                boxes.shown[0].details == slave + U(" 不存在，设备可能已拔出。"))
        << boxes.shown[0].details.toStdString();
    ExpectDisconnectedLook();
}

TEST_F(WindowTest, APortThatIsNoSerialDeviceIsReportedAsSuch) {
    const std::string file = dir.Path() + "/not-a-tty";
    std::ofstream(file) << "plain file";
    std::filesystem::create_symlink(file, PortDirectory() + "/COM7");
    CreateWindow();
    const int item = form->ComboBoxComPorts->findText("COM7");
    ASSERT_GE(item, 0) << PortItems().join(" ").toStdString();
    form->ComboBoxComPorts->setCurrentIndex(item);
    SelectRate(115200);
    ClickConnect();
    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    EXPECT_EQ(boxes.shown[0].text, U("打开串口失败！"));
    EXPECT_EQ(boxes.shown[0].details,
              QString::fromStdString(std::filesystem::canonical(file).string()) + U(" 不是串口设备。"));
    EXPECT_FALSE(form->Channel.IsOpen());
}

}  // namespace
}  // namespace tavrol::apptest
