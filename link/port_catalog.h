// The port list of one run of a program: its sources, the COM numbers that
// stay with a device for the catalog's life, the last listing, and what a
// COM number names at the moment it is opened.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "port_sources.h"

namespace tavrol {

struct PortEntry {
    int number = 0;          // the n of COMn
    std::string device;      // e.g. /dev/ttyUSB0; for a COM link, the tty it points to
    std::string linkName;    // "COM5" for a link of the port directory, empty for a system device
    std::string usbProduct;  // what the system shows of a USB device; each may be empty
    std::string usbId;       // vendor:product
    std::string usbSerial;
};

// What opening a port opens.
struct PortTarget {
    std::string device;         // the path people see; opened as it is for a system device
    std::string linkDirectory;  // for a COM link: the port directory, and the
    std::string linkName;       // link's name in it, followed at the moment of opening
};

// A device named by its path, as a user may give it.
PortTarget TargetForDevicePath(const std::string& path);

// Tells the link what a COM number names.
class PortResolver {
public:
    virtual ~PortResolver() = default;
    // What COM`number` names now; nothing when no port has that number.
    virtual std::optional<PortTarget> Resolve(int number) = 0;
};

// Numbering: links keep the number in their name. A system device keeps the
// number it was first given for as long as the catalog lives, even when
// devices before it come and go; a new device takes the lowest number that
// is free; a device that comes back under the same path gets its old number
// back while that number is free.
class PortCatalog final : public PortResolver {
public:
    explicit PortCatalog(PortSources sources = DefaultPortSources());

    const PortSources& Sources() const { return sources_; }

    // Reads the sources now and keeps the result as the listing, ascending by
    // COM number. A system device that a link already names is listed once,
    // under the link's number.
    const std::vector<PortEntry>& Refresh();
    const std::vector<PortEntry>& Listing() const { return listing_; }
    std::optional<PortEntry> Find(int number) const;

    // The enumeration: a fresh listing read as the device texts "COM<n>",
    // counted and numbered by EnumerateDeviceTexts.
    int EnumerateSerialPorts(int* out, int capacity);

    // A COM link is looked up in the port directory now, so it names what it
    // points to at this moment (or fails to open when it has gone); a system
    // device is the path the listing showed for the number. A number the
    // listing does not hold is looked for in a fresh listing.
    std::optional<PortTarget> Resolve(int number) override;

private:
    int NumberFor(const std::string& device, const std::map<int, std::string>& taken) const;

    PortSources sources_;
    std::map<std::string, int> remembered_;  // system device path -> its number
    std::vector<PortEntry> listing_;
};

// One listing of `sources`, numbered as a new catalog numbers it.
std::vector<PortEntry> ListSerialPorts(const PortSources& sources);

}  // namespace tavrol
