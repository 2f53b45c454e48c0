#include "port_enum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

namespace tavrol {

namespace {

// Examining more texts than this is never needed and keeps a runaway source
// from stalling the port-list refresh.
constexpr int kMaxTexts = 32767;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// atol's reading, but saturating at the int range instead of overflowing.
int ReadNumber(const char* p) {
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; IsDigit(*p); ++p) {
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// Safe for holding port links: a real directory (not a link to one) that
// belongs to us and that nobody else may change.
bool IsPrivateDirectory(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A parent is safe when nobody but us (or root) can rename entries in it:
// owned by us or root, and either not writable by others or sticky.
bool IsSafeParent(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != geteuid() && st.st_uid != 0) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

std::string ParentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

// Creates `path` with mode 0700 if it is missing. Sets `created`.
bool MakeDirectory(const std::string& path, bool* created, std::string* error) {
    *created = false;
    if (mkdir(path.c_str(), 0700) == 0) {
        *created = true;
        // The umask can only take bits away, but make the mode exact.
        if (chmod(path.c_str(), 0700) != 0) {
            if (error) *error = ErrnoText("cannot set the mode of", path, errno);
            return false;
        }
        return true;
    }
    if (errno == EEXIST) return true;
    if (error) *error = ErrnoText("cannot create", path, errno);
    return false;
}

// "COM<n>" with n a positive decimal without leading zeros; 0 otherwise.
int ComNumberOfName(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0) return 0;
    const char* digits = name + 3;
    const std::size_t length = std::strlen(digits);
    if (length == 0 || length > 9 || digits[0] == '0') return 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (!IsDigit(digits[i])) return 0;
    }
    return std::atoi(digits);
}

std::string Canonical(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string result = resolved;
    std::free(resolved);
    return result;
}

// The COM<n> links of the port directory. A directory that is not private is
// ignored as a whole, so nobody else can slip a port into the list.
std::vector<PortEntry> ListPortLinks(const std::string& directory) {
    std::vector<PortEntry> links;
    if (directory.empty()) return links;
    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return links;
    struct stat st {};
    if (fstat(dirFd, &st) != 0 || !IsPrivateDirectory(st)) {
        close(dirFd);
        return links;
    }
    DIR* dir = fdopendir(dirFd);
    if (dir == nullptr) {
        close(dirFd);
        return links;
    }
    while (const dirent* entry = readdir(dir)) {
        const int number = ComNumberOfName(entry->d_name);
        if (number <= 0) continue;
        struct stat linkStat {};
        if (fstatat(dirFd, entry->d_name, &linkStat, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(linkStat.st_mode)) {
            continue;
        }
        struct stat targetStat {};
        if (fstatat(dirFd, entry->d_name, &targetStat, 0) != 0) continue;  // dangling
        if (S_ISDIR(targetStat.st_mode)) continue;
        char* resolved = realpath((directory + "/" + entry->d_name).c_str(), nullptr);
        if (resolved == nullptr) continue;
        links.push_back(PortEntry{number, resolved});
        std::free(resolved);
    }
    closedir(dir);
    return links;
}

struct SystemTty {
    int group;           // ttyS, ttyUSB, ttyACM, the rest
    std::string prefix;  // name without its numeric suffix
    long long suffix;    // -1 when the name has none
    std::string name;
};

bool operator<(const SystemTty& a, const SystemTty& b) {
    if (a.group != b.group) return a.group < b.group;
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (a.suffix != b.suffix) return a.suffix < b.suffix;
    return a.name < b.name;
}

SystemTty ClassifyTty(const std::string& name) {
    std::size_t split = name.size();
    while (split > 0 && IsDigit(name[split - 1])) --split;
    SystemTty tty{3, name.substr(0, split), -1, name};
    const std::string digits = name.substr(split);
    if (!digits.empty() && digits.size() <= 18) tty.suffix = std::stoll(digits);
    if (tty.prefix == "ttyS") tty.group = 0;
    else if (tty.prefix == "ttyUSB") tty.group = 1;
    else if (tty.prefix == "ttyACM") tty.group = 2;
    return tty;
}

// A UART slot the kernel reserves without hardware reports type 0.
bool IsEmptyUartSlot(const std::string& typePath) {
    const int fd = open(typePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    const char* p = text;
    while (IsSpace(*p)) ++p;
    if (*p != '0') return false;
    ++p;
    while (IsSpace(*p)) ++p;
    return *p == '\0';
}

std::vector<SystemTty> ListSystemTtys(const std::string& sysClassTty) {
    std::vector<SystemTty> ttys;
    DIR* dir = opendir(sysClassTty.c_str());
    if (dir == nullptr) return ttys;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string base = sysClassTty + "/" + name;
        struct stat st {};
        // Only ttys backed by a device; virtual consoles and the like have none.
        if (lstat((base + "/device").c_str(), &st) != 0) continue;
        if (IsEmptyUartSlot(base + "/type")) continue;
        ttys.push_back(ClassifyTty(name));
    }
    closedir(dir);
    std::sort(ttys.begin(), ttys.end());
    return ttys;
}

struct EnumerationState {
    std::mutex mutex;
    std::optional<PortSources> sources;
    bool haveListing = false;
    std::vector<PortEntry> listing;
};

EnumerationState& State() {
    static EnumerationState state;
    return state;
}

PortSources SourcesLocked(EnumerationState& state) {
    return state.sources ? *state.sources : DefaultPortSources();
}

}  // namespace

std::string DefaultPortDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') return std::string(runtime) + "/tavrol/ports";
    return "/tmp/tavrol-" + std::to_string(geteuid()) + "/ports";
}

PortSources DefaultPortSources() {
    PortSources sources;
    sources.portDirectory = DefaultPortDirectory();
    return sources;
}

bool EnsurePortDirectory(const std::string& directory, std::string* error) {
    if (directory.empty()) {
        if (error) *error = "no port directory given";
        return false;
    }
    const std::string parent = ParentOf(directory);
    bool created = false;
    if (!MakeDirectory(parent, &created, error)) return false;
    struct stat st {};
    if (lstat(parent.c_str(), &st) != 0) {
        if (error) *error = ErrnoText("cannot examine", parent, errno);
        return false;
    }
    if (!IsSafeParent(st)) {
        if (error) *error = parent + " is not a directory that only its owner can change";
        return false;
    }
    if (!MakeDirectory(directory, &created, error)) return false;
    if (lstat(directory.c_str(), &st) != 0) {
        if (error) *error = ErrnoText("cannot examine", directory, errno);
        return false;
    }
    if (!IsPrivateDirectory(st)) {
        if (error) *error = directory + " is not a private directory of this user";
        return false;
    }
    if (error) error->clear();
    return true;
}

std::vector<PortEntry> ListSerialPorts(const PortSources& sources) {
    std::vector<PortEntry> ports = ListPortLinks(sources.portDirectory);
    std::set<int> taken;
    std::set<std::string> linked;
    for (const PortEntry& port : ports) {
        taken.insert(port.number);
        linked.insert(port.device);
    }
    int next = 1;
    for (const SystemTty& tty : ListSystemTtys(sources.sysClassTty)) {
        const std::string device = sources.devDirectory + "/" + tty.name;
        // A link that already names this device gives it its number.
        if (linked.count(Canonical(device)) != 0) continue;
        while (taken.count(next) != 0) ++next;
        taken.insert(next);
        ports.push_back(PortEntry{next, device});
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
    return ports;
}

int EnumerateDeviceTexts(const std::vector<std::string>& texts, int* out, int capacity) {
    int count = 0;
    for (std::size_t i = 0; i < texts.size() && count < kMaxTexts; ++i) {
        const std::string& text = texts[i];
        ++count;
        if (out == nullptr || text.empty() || text[0] == '\0') continue;
        if (static_cast<long long>(i) >= capacity) continue;
        out[i] = text.size() <= 3 ? 0 : ReadNumber(text.c_str() + 3);
    }
    return count;
}

int EnumerateSerialPorts(int* out, int capacity) {
    EnumerationState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<PortEntry> ports = ListSerialPorts(SourcesLocked(state));
    std::vector<std::string> texts;
    texts.reserve(ports.size());
    for (const PortEntry& port : ports) texts.push_back("COM" + std::to_string(port.number));
    const int count = EnumerateDeviceTexts(texts, out, capacity);
    if (ports.size() > static_cast<std::size_t>(count)) ports.resize(count);
    state.listing = std::move(ports);
    state.haveListing = true;
    return count;
}

std::string DevicePathForPort(int number) {
    EnumerationState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.haveListing) {
        for (const PortEntry& port : state.listing) {
            if (port.number == number) return port.device;
        }
    }
    for (const PortEntry& port : ListSerialPorts(SourcesLocked(state))) {
        if (port.number == number) return port.device;
    }
    return "";
}

void SetPortSources(const PortSources& sources) {
    EnumerationState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sources = sources;
    state.haveListing = false;
    state.listing.clear();
}

PortSources CurrentPortSources() {
    EnumerationState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return SourcesLocked(state);
}

}  // namespace tavrol
