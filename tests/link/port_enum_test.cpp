#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port_enum.h"

namespace tavrol {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Counting and number reading over device texts.

struct TextCase {
    std::string text;
    int expected;
};

TEST(EnumerateDeviceTextsTest, ReadsTheNumberFromTheFourthCharacterLikeAtol) {
    const std::vector<TextCase> cases = {
        {"COM1", 1},
        {"COM3", 3},
        {"COM10", 10},
        {"COM256", 256},
        {"COM1234", 1234},
        {"CNCA0", 0},  // only "A0" is read
        {"XYZ42", 42},  // the first three characters are skipped, whatever they are
        {"COM", 0},
        {"CO", 0},
        {"C", 0},
        {"COMx1", 0},
        {"COM12ab", 12},
        {"COM0042", 42},
        {"COM 12", 12},
        {"COM\t+7", 7},
        {"COM-3", -3},
        {"COM+", 0},
        {"COM99999999999999999999", INT_MAX},  // saturates instead of overflowing
        {"COM-99999999999", INT_MIN},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        int out[2] = {-7, -8};
        EXPECT_EQ(EnumerateDeviceTexts({c.text}, out, 1), 1);
        EXPECT_EQ(out[0], c.expected);
        EXPECT_EQ(out[1], -8) << "wrote past the capacity";
    }
}

TEST(EnumerateDeviceTextsTest, StoresAtTheTextsIndexAndCountsEmptyTextsWithoutStoring) {
    const std::vector<std::string> texts = {"COM1", "", "COM3", std::string("\0COM5", 5), "COM7"};
    std::vector<int> out = {-1, -2, -3, -4, -5};
    EXPECT_EQ(EnumerateDeviceTexts(texts, out.data(), 5), 5);
    EXPECT_EQ(out, (std::vector<int>{1, -2, 3, -4, 7}));
}

TEST(EnumerateDeviceTextsTest, NullArrayOnlyCounts) {
    EXPECT_EQ(EnumerateDeviceTexts({"COM1", "COM3", ""}, nullptr, 3), 3);
    EXPECT_EQ(EnumerateDeviceTexts({"COM1", "COM3", ""}, nullptr, 0), 3);
    EXPECT_EQ(EnumerateDeviceTexts({}, nullptr, 0), 0);
}

TEST(EnumerateDeviceTextsTest, NeverWritesAtOrBeyondTheCapacity) {
    const std::vector<std::string> texts = {"COM1", "COM2", "COM3"};
    for (int capacity : {2, 1, 0, -1}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        std::vector<int> out = {-1, -1, -1, -1};
        EXPECT_EQ(EnumerateDeviceTexts(texts, out.data(), capacity), 3);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], i < capacity ? i + 1 : -1) << "entry " << i;
    }
}

TEST(EnumerateDeviceTextsTest, ExaminesAtMost32767Texts) {
    const std::vector<std::string> texts(40000, "COM5");
    std::vector<int> out(texts.size(), 0);
    EXPECT_EQ(EnumerateDeviceTexts(texts, out.data(), static_cast<int>(out.size())), 32767);
    EXPECT_EQ(out[32766], 5);
    EXPECT_EQ(out[32767], 0);
}

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
        saved_ = CurrentPortSources();
        SetPortSources(Sources());
    }

    void TearDown() override {
        SetPortSources(saved_);
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
    PortSources saved_;
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
    SetPortSources(nothing);
    EXPECT_EQ(EnumerateSerialPorts(nullptr, 0), 0);
    EXPECT_EQ(DevicePathForPort(1), "");
}

// ---------------------------------------------------------------------------
// The enumeration and the port map.

TEST_F(PortSourcesTest, TwoPassEnumerationFillsTheCallersArray) {
    AddTty("ttyS0", true, "4");
    AddTty("ttyUSB0");
    AddLink("COM10", AddTarget("ten"));
    AddLink("COM3", AddTarget("three"));

    const int n = EnumerateSerialPorts(nullptr, 0);
    ASSERT_EQ(n, 4);
    std::vector<int> numbers(n + 1, 0);
    numbers[n] = -1;  // guard
    EXPECT_EQ(EnumerateSerialPorts(numbers.data(), n), n);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 10, -1}));
}

TEST_F(PortSourcesTest, PortAppearingBetweenThePassesIsCountedButNotStored) {
    AddLink("COM2", AddTarget("two"));
    AddLink("COM4", AddTarget("four"));
    const int n = EnumerateSerialPorts(nullptr, 0);
    ASSERT_EQ(n, 2);

    AddLink("COM1", AddTarget("one"));
    std::vector<int> numbers(n + 1, 0);
    numbers[n] = -1;
    EXPECT_EQ(EnumerateSerialPorts(numbers.data(), n), 3);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, -1}));
}

TEST_F(PortSourcesTest, DevicePathFollowsTheLastEnumeration) {
    AddTty("ttyUSB0");
    const std::string first = AddTarget("first");
    const std::string second = AddTarget("second");
    AddLink("COM5", first);
    ASSERT_EQ(EnumerateSerialPorts(nullptr, 0), 2);

    // The list the user picked from stays what COM5 means, even when the link
    // changes behind it.
    fs::remove(ports_ + "/COM5");
    AddLink("COM5", second);
    EXPECT_EQ(DevicePathForPort(5), first);
    EXPECT_EQ(DevicePathForPort(1), dev_ + "/ttyUSB0");

    // A number the enumeration did not list is looked up afresh.
    AddLink("COM6", second);
    EXPECT_EQ(DevicePathForPort(6), second);
    EXPECT_EQ(DevicePathForPort(7), "");
    EXPECT_EQ(DevicePathForPort(0), "");
    EXPECT_EQ(DevicePathForPort(-1), "");

    // The next enumeration replaces the map.
    ASSERT_EQ(EnumerateSerialPorts(nullptr, 0), 3);
    EXPECT_EQ(DevicePathForPort(5), second);
}

TEST_F(PortSourcesTest, DevicePathWithoutEnumerationReadsTheSources) {
    const std::string target = AddTarget("t");
    AddLink("COM2", target);
    AddTty("ttyACM0");
    EXPECT_EQ(DevicePathForPort(2), target);
    EXPECT_EQ(DevicePathForPort(1), dev_ + "/ttyACM0");
    EXPECT_EQ(DevicePathForPort(3), "");
}

TEST_F(PortSourcesTest, SettingSourcesForgetsTheLastEnumeration) {
    const std::string target = AddTarget("t");
    AddLink("COM2", target);
    ASSERT_EQ(EnumerateSerialPorts(nullptr, 0), 1);

    const std::string other = root_ + "/other";
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    ASSERT_EQ(chmod(other.c_str(), 0700), 0);
    PortSources sources = Sources();
    sources.portDirectory = other;
    SetPortSources(sources);
    EXPECT_EQ(CurrentPortSources().portDirectory, other);
    EXPECT_EQ(DevicePathForPort(2), "");
}

// ---------------------------------------------------------------------------
// The default port directory and making it.

class EnvironmentVariable {
public:
    explicit EnvironmentVariable(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) saved_ = value;
    }
    ~EnvironmentVariable() {
        if (saved_) setenv(name_, saved_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(DefaultPortDirectoryTest, UsesTheRuntimeDirectoryOrFallsBackToTmp) {
    EnvironmentVariable keep("XDG_RUNTIME_DIR");
    const std::string fallback = "/tmp/tavrol-" + std::to_string(geteuid()) + "/ports";

    setenv("XDG_RUNTIME_DIR", "/run/user/4321", 1);
    EXPECT_EQ(DefaultPortDirectory(), "/run/user/4321/tavrol/ports");
    EXPECT_EQ(DefaultPortSources().portDirectory, "/run/user/4321/tavrol/ports");
    EXPECT_EQ(DefaultPortSources().sysClassTty, "/sys/class/tty");
    EXPECT_EQ(DefaultPortSources().devDirectory, "/dev");

    setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(DefaultPortDirectory(), fallback);

    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DefaultPortDirectory(), fallback);
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_F(PortSourcesTest, EnsurePortDirectoryCreatesParentAndDirectoryPrivately) {
    const mode_t oldMask = umask(0);  // the modes must not depend on the umask
    const std::string parent = root_ + "/run/tavrol";
    ASSERT_EQ(mkdir((root_ + "/run").c_str(), 0700), 0);
    std::string error = "unchanged";
    const bool made = EnsurePortDirectory(parent + "/ports", &error);
    umask(oldMask);
    ASSERT_TRUE(made) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(ModeOf(parent), 0700u);
    EXPECT_EQ(ModeOf(parent + "/ports"), 0700u);

    // Already there and private: fine, and left as it is.
    ASSERT_EQ(chmod((parent + "/ports").c_str(), 0755), 0);
    EXPECT_TRUE(EnsurePortDirectory(parent + "/ports", &error)) << error;
    EXPECT_EQ(ModeOf(parent + "/ports"), 0755u);

    // A private directory made this way is what the enumeration reads.
    fs::create_symlink(AddTarget("t"), parent + "/ports/COM9");
    PortSources sources = Sources();
    sources.portDirectory = parent + "/ports";
    EXPECT_EQ(NumbersOf(ListSerialPorts(sources)), (std::vector<int>{9}));

    // The default place under the runtime directory.
    EnvironmentVariable keep("XDG_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", (root_ + "/xdg").c_str(), 1);
    ASSERT_EQ(mkdir((root_ + "/xdg").c_str(), 0700), 0);
    EXPECT_TRUE(EnsurePortDirectory(DefaultPortDirectory(), &error)) << error;
    EXPECT_EQ(ModeOf(root_ + "/xdg/tavrol"), 0700u);
    EXPECT_EQ(ModeOf(root_ + "/xdg/tavrol/ports"), 0700u);
}

TEST_F(PortSourcesTest, EnsurePortDirectoryRefusesUnsafePlaces) {
    const std::string good = root_ + "/good";
    ASSERT_EQ(mkdir(good.c_str(), 0700), 0);

    struct Case {
        const char* what;
        std::function<std::string(const std::string&)> make;  // returns the directory to ensure
    };
    std::vector<Case> cases = {
        {"directory writable by others",
         [](const std::string& base) {
             mkdir((base + "/ports").c_str(), 0700);
             chmod((base + "/ports").c_str(), 0777);
             return base + "/ports";
         }},
        {"directory writable by the group",
         [](const std::string& base) {
             mkdir((base + "/ports").c_str(), 0700);
             chmod((base + "/ports").c_str(), 0770);
             return base + "/ports";
         }},
        {"directory is a link",
         [&](const std::string& base) {
             fs::create_directory_symlink(good, base + "/ports");
             return base + "/ports";
         }},
        {"directory is a file",
         [](const std::string& base) {
             std::ofstream(base + "/ports") << "";
             return base + "/ports";
         }},
        {"parent writable by others",
         [](const std::string& base) {
             chmod(base.c_str(), 0777);
             return base + "/ports";
         }},
        {"parent is a link",
         [&](const std::string& base) {
             fs::create_directory_symlink(good, base + "/tavrol");
             return base + "/tavrol/ports";
         }},
        {"grandparent missing", [](const std::string& base) { return base + "/a/b/ports"; }},
    };
    if (geteuid() == 0) {
        cases.push_back({"directory owned by another user", [](const std::string& base) {
                             mkdir((base + "/ports").c_str(), 0700);
                             chown((base + "/ports").c_str(), 65534, 65534);
                             return base + "/ports";
                         }});
        cases.push_back({"parent owned by another user", [](const std::string& base) {
                             chown(base.c_str(), 65534, 65534);
                             return base + "/ports";
                         }});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string base = root_ + "/case";
        fs::remove_all(base);
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
        const std::string dir = c.make(base);
        std::string error;
        EXPECT_FALSE(EnsurePortDirectory(dir, &error));
        EXPECT_FALSE(error.empty());
        fs::remove_all(base);
    }

    // A sticky directory that others may write, such as /tmp, is a safe parent.
    const std::string sticky = root_ + "/sticky";
    ASSERT_EQ(mkdir(sticky.c_str(), 0700), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    std::string error;
    EXPECT_TRUE(EnsurePortDirectory(sticky + "/ports", &error)) << error;
    EXPECT_FALSE(EnsurePortDirectory("", &error));
}

}  // namespace
}  // namespace tavrol
