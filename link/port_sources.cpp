#include "port_sources.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "port_directory.h"

namespace tavrol {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The first line of a small sysfs file, without trailing white space.
std::string ReadAttribute(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char text[256] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return "";
    std::string value(text, static_cast<std::size_t>(n));
    const auto end = value.find('\n');
    if (end != std::string::npos) value.resize(end);
    while (!value.empty() && IsSpace(value.back())) value.pop_back();
    return value;
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
    const std::string type = ReadAttribute(typePath);
    std::size_t first = 0;
    while (first < type.size() && IsSpace(type[first])) ++first;
    return type.substr(first) == "0";
}

// The USB device a tty hangs off: the nearest folder above its device entry
// that has a vendor id. A USB serial converter sits one or two levels below.
void ReadUsbDetails(const std::string& deviceEntry, SystemDevice& device) {
    std::string dir = CanonicalPath(deviceEntry);
    for (int level = 0; level < 4 && dir.size() > 1; ++level) {
        const std::string vendor = ReadAttribute(dir + "/idVendor");
        if (!vendor.empty()) {
            device.usbId = vendor + ":" + ReadAttribute(dir + "/idProduct");
            device.usbProduct = ReadAttribute(dir + "/product");
            device.usbSerial = ReadAttribute(dir + "/serial");
            return;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
}

}  // namespace

PortSources DefaultPortSources() {
    PortSources sources;
    sources.portDirectory = DefaultPortDirectory();
    return sources;
}

std::string CanonicalPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::vector<PortLink> ListPortLinks(const std::string& directory) {
    std::vector<PortLink> links;
    const int dirFd = OpenPortDirectory(directory);
    if (dirFd < 0) return links;
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
        links.push_back(PortLink{number, entry->d_name, resolved});
        std::free(resolved);
    }
    closedir(dir);
    return links;
}

std::vector<SystemDevice> ListSystemDevices(const PortSources& sources) {
    std::vector<SystemTty> ttys;
    DIR* dir = opendir(sources.sysClassTty.c_str());
    if (dir == nullptr) return {};
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string base = sources.sysClassTty + "/" + name;
        struct stat st {};
        // Only ttys backed by a device; virtual consoles and the like have none.
        if (lstat((base + "/device").c_str(), &st) != 0) continue;
        if (IsEmptyUartSlot(base + "/type")) continue;
        ttys.push_back(ClassifyTty(name));
    }
    closedir(dir);
    std::sort(ttys.begin(), ttys.end());

    std::vector<SystemDevice> devices;
    for (const SystemTty& tty : ttys) {
        SystemDevice device;
        device.device = sources.devDirectory + "/" + tty.name;
        ReadUsbDetails(sources.sysClassTty + "/" + tty.name + "/device", device);
        devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace tavrol
