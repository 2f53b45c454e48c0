#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port_catalog.h"
#include "serial_port.h"

namespace tavrol {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// The sources: a fake tty class tree, a fake /dev and a port directory.

std::vector<int> NumbersOf(const std::vector<PortEntry>& ports) {
    std::vector<int> numbers;
    for (const PortEntry& p : ports) numbers.push_back(p.number);
    return numbers;
}

class PortSourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "port_enum_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern).string();
        sys_ = root_ + "/sys/class/tty";
        dev_ = root_ + "/dev";
        ports_ = root_ + "/ports";
        targets_ = root_ + "/targets";
        fs::create_directories(sys_);
        fs::create_directories(dev_);
        fs::create_directories(targets_);
        ASSERT_EQ(mkdir(ports_.c_str(), 0700), 0);
        ASSERT_EQ(chmod(ports_.c_str(), 0700), 0);
    }

    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    PortSources Sources() const { return PortSources{ports_, sys_, dev_}; }

    // A tty class entry; `withDevice` gives it a device entry (a link, as
    // the kernel makes it, or a plain directory).
    void AddTty(const std::string& name, bool withDevice = true, const char* type = nullptr,
                bool deviceAsLink = true) {
        const std::string dir = sys_ + "/" + name;
        fs::create_directories(dir);
        if (withDevice) {
            if (deviceAsLink) {
                fs::create_directories(root_ + "/sys/devices/" + name);
                fs::create_directory_symlink(root_ + "/sys/devices/" + name, dir + "/device");
            } else {
                fs::create_directories(dir + "/device");
            }
        }
        if (type != nullptr) std::ofstream(dir + "/type") << type;
    }

    // A plain file to point a link at; returns its canonical path.
    std::string AddTarget(const std::string& name) {
        const std::string path = targets_ + "/" + name;
        std::ofstream(path) << "";
        return fs::canonical(path).string();
    }

    void AddLink(const std::string& name, const std::string& target) {
        fs::create_symlink(target, ports_ + "/" + name);
    }

    std::string root_, sys_, dev_, ports_, targets_;
};

TEST_F(PortSourcesTest, SystemDevicesComeInNaturalOrderAndOnlyWhenBackedByADevice) {
    AddTty("ttyUSB1");
    AddTty("ttyS10", true, "4\n");
    AddTty("ttyACM0", true, nullptr, false);
    AddTty("ttyS2", true, "4\n");
    AddTty("ttyAMA0");
    AddTty("ttyUSB0");
    AddTty("ttyS0", true, "4\n");
    AddTty("ttyS3", true, "0\n");  // a UART slot without hardware
    AddTty("ttyS1", true, "4\n");
    AddTty("tty5", false);          // a virtual console
    AddTty("console", false);
    AddTty("ttyACM10");
    AddTty("ttyACM2");

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    const std::vector<std::string> names = {"ttyS0",   "ttyS1",   "ttyS2",    "ttyS10", "ttyUSB0",
                                            "ttyUSB1", "ttyACM0", "ttyACM2", "ttyACM10", "ttyAMA0"};
    ASSERT_EQ(ports.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(ports[i].number, static_cast<int>(i) + 1);
        EXPECT_EQ(ports[i].device, dev_ + "/" + names[i]);
    }
}

TEST_F(PortSourcesTest, LinksKeepTheirNumbersAndSystemDevicesTakeTheLowestFreeOnes) {
    AddTty("ttyS0", true, "4");
    AddTty("ttyS1", true, "4");
    AddTty("ttyUSB0");
    AddTty("ttyACM0");
    const std::string two = AddTarget("two");
    const std::string five = AddTarget("five");
    AddLink("COM2", two);
    AddLink("COM5", five);

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    ASSERT_EQ(NumbersOf(ports), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(ports[0].device, dev_ + "/ttyS0");
    EXPECT_EQ(ports[1].device, two);
    EXPECT_EQ(ports[2].device, dev_ + "/ttyS1");
    EXPECT_EQ(ports[3].device, dev_ + "/ttyUSB0");
    EXPECT_EQ(ports[4].device, five);
    EXPECT_EQ(ports[5].device, dev_ + "/ttyACM0");
}

TEST_F(PortSourcesTest, OnlySymlinksNamedWithAPositiveComNumberAreTaken) {
    const std::string target = AddTarget("t");
    for (const char* name : {"COM0", "COM07", "COMx", "COM", "com3", "COM3.bak", "COM-4", "XCOM5", "COM1234567890"}) {
        AddLink(name, target);
    }
    std::ofstream(ports_ + "/COM8") << "";            // a plain file, not a link
    fs::create_directory(ports_ + "/COM9");           // a directory
    AddLink("COM11", targets_);                       // a link to a directory
    AddLink("COM12", target);
    AddLink("COM123456789", target);
    AddLink("COM4", "../targets/t");                  // relative links resolve from the port directory

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    ASSERT_EQ(NumbersOf(ports), (std::vector<int>{4, 12, 123456789}));
    for (const PortEntry& p : ports) EXPECT_EQ(p.device, target);
}

TEST_F(PortSourcesTest, DanglingLinkIsSkippedAndItsNumberIsFree) {
    AddTty("ttyUSB0");
    AddLink("COM1", targets_ + "/gone");
    AddLink("COM2", AddTarget("here"));

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    ASSERT_EQ(NumbersOf(ports), (std::vector<int>{1, 2}));
    EXPECT_EQ(ports[0].device, dev_ + "/ttyUSB0");
}

TEST_F(PortSourcesTest, LinkToAPseudoTerminalNamesItsSlave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    AddLink("COM7", slave);

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].number, 7);
    EXPECT_EQ(ports[0].device, fs::canonical(slave).string());
    close(master);
}

TEST_F(PortSourcesTest, SystemDeviceThatALinkNamesIsListedOnceUnderTheLinksNumber) {
    AddTty("ttyUSB0");
    AddTty("ttyUSB1");
    std::ofstream(dev_ + "/ttyUSB0") << "";
    AddLink("COM3", dev_ + "/ttyUSB0");

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    ASSERT_EQ(NumbersOf(ports), (std::vector<int>{1, 3}));
    EXPECT_EQ(ports[0].device, dev_ + "/ttyUSB1");
    EXPECT_EQ(ports[1].device, dev_ + "/ttyUSB0");
}

TEST_F(PortSourcesTest, PortDirectoryThatIsNotPrivateIsIgnoredEntirely) {
    AddTty("ttyS0", true, "4");
    const std::string target = AddTarget("t");
    const std::string good = root_ + "/good";
    ASSERT_EQ(mkdir(good.c_str(), 0700), 0);
    fs::create_symlink(target, good + "/COM4");

    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;  // builds the port directory at the path
    };
    std::vector<Case> cases = {
        {"writable by all", [&](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0777), 0); }},
        {"writable by the group", [&](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0770), 0); }},
        {"writable by others", [&](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0705 | S_IWOTH), 0); }},
        {"a link to a private directory",
         [&](const std::string& p) {
             fs::remove_all(p);
             fs::create_directory_symlink(good, p);
         }},
        {"a plain file",
         [&](const std::string& p) {
             fs::remove_all(p);
             std::ofstream(p) << "";
         }},
        {"missing", [&](const std::string& p) { fs::remove_all(p); }},
    };
    if (geteuid() == 0) {
        cases.push_back({"owned by another user", [&](const std::string& p) { ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0); }});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = root_ + "/case";
        fs::remove_all(dir);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
        fs::create_symlink(target, dir + "/COM4");
        fs::create_symlink(target, dir + "/COM1");
        c.make(dir);

        PortSources sources = Sources();
        sources.portDirectory = dir;
        const std::vector<PortEntry> ports = ListSerialPorts(sources);
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0].number, 1);
        EXPECT_EQ(ports[0].device, dev_ + "/ttyS0");
        fs::remove_all(dir);
    }

    // The same links in a private directory are taken.
    PortSources sources = Sources();
    sources.portDirectory = good;
    EXPECT_EQ(NumbersOf(ListSerialPorts(sources)), (std::vector<int>{1, 4}));
}

TEST_F(PortSourcesTest, MissingSourcesGiveNoPorts) {
    const PortSources nothing{root_ + "/none", root_ + "/none/tty", root_ + "/none/dev"};
    EXPECT_TRUE(ListSerialPorts(nothing).empty());
    PortCatalog catalog(nothing);
    EXPECT_EQ(catalog.EnumerateSerialPorts(nullptr, 0), 0);
    EXPECT_FALSE(catalog.Resolve(1).has_value());
}

// ---------------------------------------------------------------------------
// The catalog: the enumeration, numbers that stay, and resolving at open time.

TEST_F(PortSourcesTest, TwoPassEnumerationFillsTheCallersArray) {
    AddTty("ttyS0", true, "4");
    AddTty("ttyUSB0");
    AddLink("COM10", AddTarget("ten"));
    AddLink("COM3", AddTarget("three"));

    PortCatalog catalog(Sources());
    const int n = catalog.EnumerateSerialPorts(nullptr, 0);
    ASSERT_EQ(n, 4);
    std::vector<int> numbers(n + 1, 0);
    numbers[n] = -1;  // guard
    EXPECT_EQ(catalog.EnumerateSerialPorts(numbers.data(), n), n);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 10, -1}));
    EXPECT_EQ(NumbersOf(catalog.Listing()), (std::vector<int>{1, 2, 3, 10}));
}

TEST_F(PortSourcesTest, PortAppearingBetweenThePassesIsCountedButNotStored) {
    AddLink("COM2", AddTarget("two"));
    AddLink("COM4", AddTarget("four"));
    PortCatalog catalog(Sources());
    const int n = catalog.EnumerateSerialPorts(nullptr, 0);
    ASSERT_EQ(n, 2);

    AddLink("COM1", AddTarget("one"));
    std::vector<int> numbers(n + 1, 0);
    numbers[n] = -1;
    EXPECT_EQ(catalog.EnumerateSerialPorts(numbers.data(), n), 3);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, -1}));
}

TEST_F(PortSourcesTest, SystemDevicesKeepTheirNumbersWhileOthersComeAndGo) {
    AddTty("ttyUSB0");
    AddTty("ttyUSB1");
    AddTty("ttyUSB2");
    PortCatalog catalog(Sources());
    auto numberOf = [&](const std::string& name) {
        for (const PortEntry& e : catalog.Listing()) {
            if (e.device == dev_ + "/" + name) return e.number;
        }
        return 0;
    };
    catalog.Refresh();
    ASSERT_EQ(numberOf("ttyUSB0"), 1);
    ASSERT_EQ(numberOf("ttyUSB2"), 3);

    // A device before them goes: the others keep their numbers.
    fs::remove_all(sys_ + "/ttyUSB0");
    catalog.Refresh();
    EXPECT_EQ(NumbersOf(catalog.Listing()), (std::vector<int>{2, 3}));
    EXPECT_EQ(numberOf("ttyUSB1"), 2);

    // A new device takes the lowest free number, even the one just left.
    AddTty("ttyACM0");
    catalog.Refresh();
    EXPECT_EQ(numberOf("ttyACM0"), 1);

    // The device that left comes back: its number is taken, so it gets the
    // lowest free one; once its old number is free again it does not move.
    AddTty("ttyUSB0");
    catalog.Refresh();
    EXPECT_EQ(numberOf("ttyUSB0"), 4);
    EXPECT_EQ(numberOf("ttyACM0"), 1);

    // Gone and back with its number still free: the same number.
    fs::remove_all(sys_ + "/ttyUSB2");
    catalog.Refresh();
    EXPECT_EQ(numberOf("ttyUSB2"), 0);
    AddTty("ttyUSB2");
    catalog.Refresh();
    EXPECT_EQ(numberOf("ttyUSB2"), 3);

    // A link takes the number in its name; the device holding it moves.
    AddLink("COM2", AddTarget("pinned"));
    catalog.Refresh();
    EXPECT_EQ(catalog.Find(2)->linkName, "COM2");
    EXPECT_EQ(numberOf("ttyUSB1"), 5);
    EXPECT_EQ(NumbersOf(catalog.Listing()), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(PortSourcesTest, ResolveFollowsALinkAtTheMomentOfAsking) {
    AddTty("ttyUSB0");
    const std::string first = AddTarget("first");
    const std::string second = AddTarget("second");
    AddLink("COM5", first);
    PortCatalog catalog(Sources());
    catalog.Refresh();

    // Re-pointed after the listing: the number names the new target.
    fs::remove(ports_ + "/COM5");
    AddLink("COM5", second);
    std::optional<PortTarget> target = catalog.Resolve(5);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->device, second);
    EXPECT_EQ(target->linkDirectory, ports_);
    EXPECT_EQ(target->linkName, "COM5");

    // A system device is what the listing showed for its number.
    target = catalog.Resolve(1);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->device, dev_ + "/ttyUSB0");
    EXPECT_TRUE(target->linkName.empty());

    // A link that has gone still names itself, so opening it fails with
    // the device people saw.
    fs::remove(ports_ + "/COM5");
    target = catalog.Resolve(5);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->device, first);
    EXPECT_EQ(target->linkName, "COM5");

    // A link that appeared after the listing is found; nothing else is.
    AddLink("COM6", second);
    target = catalog.Resolve(6);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->device, second);
    EXPECT_FALSE(catalog.Resolve(7).has_value());
    EXPECT_FALSE(catalog.Resolve(0).has_value());
    EXPECT_FALSE(catalog.Resolve(-1).has_value());
}

TEST_F(PortSourcesTest, UsbDetailsComeFromTheDeviceAboveTheTty) {
    const std::string usb = root_ + "/sys/devices/usb1/1-1";
    const std::string tty = usb + "/1-1:1.0/ttyUSB0";
    fs::create_directories(tty);
    fs::create_directories(sys_ + "/ttyUSB0");
    fs::create_directory_symlink(tty, sys_ + "/ttyUSB0/device");
    std::ofstream(usb + "/idVendor") << "1a86\n";
    std::ofstream(usb + "/idProduct") << "7523\n";
    std::ofstream(usb + "/product") << "USB Serial\n";
    std::ofstream(usb + "/serial") << "A1B2\n";
    AddTty("ttyS0", true, "4");

    const std::vector<PortEntry> ports = ListSerialPorts(Sources());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[1].device, dev_ + "/ttyUSB0");
    EXPECT_EQ(ports[1].usbProduct, "USB Serial");
    EXPECT_EQ(ports[1].usbId, "1a86:7523");
    EXPECT_EQ(ports[1].usbSerial, "A1B2");
    EXPECT_TRUE(ports[0].usbId.empty());
    EXPECT_TRUE(ports[0].usbProduct.empty());
}

// The real port opens what the link names when it is opened, not what it
// named when the list was read.
TEST_F(PortSourcesTest, RepointedLinkOpensItsNewPseudoTerminal) {
    int masters[2];
    std::string slaves[2];
    for (int i = 0; i < 2; ++i) {
        masters[i] = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(masters[i], 0);
        ASSERT_EQ(grantpt(masters[i]), 0);
        ASSERT_EQ(unlockpt(masters[i]), 0);
        slaves[i] = ptsname(masters[i]);
    }
    AddLink("COM3", slaves[0]);
    PortCatalog catalog(Sources());
    catalog.Refresh();
    fs::remove(ports_ + "/COM3");
    AddLink("COM3", slaves[1]);

    auto port = CreateSystemSerialPort();
    const std::optional<PortTarget> target = catalog.Resolve(3);
    ASSERT_TRUE(target.has_value());
    ASSERT_TRUE(port->Open(*target)) << port->LastError();
    ASSERT_TRUE(port->SetSettings(LineSettings{115200, 8, 0, 0}));
    const std::uint8_t byte = 0x5A;
    ASSERT_EQ(port->Write(&byte, 1, 1000), 1);
    std::uint8_t got = 0;
    pollfd p{masters[1], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1) << "the byte did not reach the new target";
    ASSERT_EQ(read(masters[1], &got, 1), 1);
    EXPECT_EQ(got, byte);
    port->Close();
    for (int m : masters) close(m);
}

}  // namespace
}  // namespace tavrol
