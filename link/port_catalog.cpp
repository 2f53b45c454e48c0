#include "port_catalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "port_directory.h"
#include "port_enum.h"

namespace tavrol {

namespace {

int LowestFree(const std::map<int, std::string>& taken) {
    int n = 1;
    while (taken.count(n) != 0) ++n;
    return n;
}

// Whether COM`number` is a link of the port directory right now.
bool HasLinkNow(const std::string& directory, int number) {
    const int dirFd = OpenPortDirectory(directory);
    if (dirFd < 0) return false;
    struct stat st {};
    const std::string name = "COM" + std::to_string(number);
    const bool isLink = fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    close(dirFd);
    return isLink;
}

}  // namespace

PortTarget TargetForDevicePath(const std::string& path) { return PortTarget{path, "", ""}; }

PortCatalog::PortCatalog(PortSources sources) : sources_(std::move(sources)) {}

int PortCatalog::NumberFor(const std::string& device, const std::map<int, std::string>& taken) const {
    const auto known = remembered_.find(device);
    if (known != remembered_.end() && taken.count(known->second) == 0) return known->second;
    return 0;
}

const std::vector<PortEntry>& PortCatalog::Refresh() {
    std::vector<PortEntry> entries;
    std::map<int, std::string> taken;  // number -> device
    std::set<std::string> linked;
    for (const PortLink& link : ListPortLinks(sources_.portDirectory)) {
        PortEntry entry;
        entry.number = link.number;
        entry.device = link.device;
        entry.linkName = link.name;
        taken[link.number] = link.device;
        linked.insert(link.device);
        entries.push_back(std::move(entry));
    }

    std::vector<SystemDevice> devices;
    for (SystemDevice& device : ListSystemDevices(sources_)) {
        // A link that already names this device gives it its number.
        if (linked.count(CanonicalPath(device.device)) == 0) devices.push_back(std::move(device));
    }
    // Devices listed last time keep their numbers first, then devices that
    // come back take theirs if still free, so nobody takes the number of a
    // device listed after it; the rest take the lowest free.
    std::set<std::string> present;
    for (const PortEntry& entry : listing_) {
        if (entry.linkName.empty()) present.insert(entry.device);
    }
    std::vector<int> numbers(devices.size(), 0);
    for (const bool wasPresent : {true, false}) {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (numbers[i] != 0 || (present.count(devices[i].device) != 0) != wasPresent) continue;
            numbers[i] = NumberFor(devices[i].device, taken);
            if (numbers[i] != 0) taken[numbers[i]] = devices[i].device;
        }
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (numbers[i] == 0) {
            numbers[i] = LowestFree(taken);
            taken[numbers[i]] = devices[i].device;
        }
        remembered_[devices[i].device] = numbers[i];
        PortEntry entry;
        entry.number = numbers[i];
        entry.device = devices[i].device;
        entry.usbProduct = devices[i].usbProduct;
        entry.usbId = devices[i].usbId;
        entry.usbSerial = devices[i].usbSerial;
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(), [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
    listing_ = std::move(entries);
    return listing_;
}

std::optional<PortEntry> PortCatalog::Find(int number) const {
    for (const PortEntry& entry : listing_) {
        if (entry.number == number) return entry;
    }
    return std::nullopt;
}

int PortCatalog::EnumerateSerialPorts(int* out, int capacity) {
    std::vector<std::string> texts;
    for (const PortEntry& entry : Refresh()) texts.push_back("COM" + std::to_string(entry.number));
    return EnumerateDeviceTexts(texts, out, capacity);
}

std::optional<PortTarget> PortCatalog::Resolve(int number) {
    if (number <= 0) return std::nullopt;
    std::optional<PortEntry> listed = Find(number);
    const bool linkNow = HasLinkNow(sources_.portDirectory, number);
    if (linkNow || (listed && !listed->linkName.empty())) {
        // Followed when it is opened; the device named here is for people.
        PortTarget target{listed ? listed->device : "", sources_.portDirectory, "COM" + std::to_string(number)};
        if (linkNow) target.device = CanonicalPath(sources_.portDirectory + "/" + target.linkName);
        return target;
    }
    if (!listed) listed = (Refresh(), Find(number));
    if (!listed) return std::nullopt;
    if (!listed->linkName.empty()) return PortTarget{listed->device, sources_.portDirectory, listed->linkName};
    return TargetForDevicePath(listed->device);
}

std::vector<PortEntry> ListSerialPorts(const PortSources& sources) {
    PortCatalog catalog(sources);
    return catalog.Refresh();
}

}  // namespace tavrol
