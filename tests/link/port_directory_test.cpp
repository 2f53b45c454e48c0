#include <gtest/gtest.h>

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
#include "port_directory.h"

namespace tavrol {
namespace {

namespace fs = std::filesystem;

class PortDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "port_dir_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern).string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::string AddTarget(const std::string& name) {
        const std::string path = root_ + "/" + name;
        std::ofstream(path) << "";
        return path;
    }
    std::string root_;
};

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

TEST_F(PortDirectoryTest, EnsurePortDirectoryCreatesParentAndDirectoryPrivately) {
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
    const std::vector<PortEntry> ports = ListSerialPorts(PortSources{parent + "/ports", root_ + "/no-sys", root_ + "/no-dev"});
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].number, 9);

    // The default place under the runtime directory.
    EnvironmentVariable keep("XDG_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", (root_ + "/xdg").c_str(), 1);
    ASSERT_EQ(mkdir((root_ + "/xdg").c_str(), 0700), 0);
    EXPECT_TRUE(EnsurePortDirectory(DefaultPortDirectory(), &error)) << error;
    EXPECT_EQ(ModeOf(root_ + "/xdg/tavrol"), 0700u);
    EXPECT_EQ(ModeOf(root_ + "/xdg/tavrol/ports"), 0700u);
}

TEST_F(PortDirectoryTest, EnsurePortDirectoryRefusesUnsafePlaces) {
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
