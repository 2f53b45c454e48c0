// Where the system's serial ports come from on Linux, which has no table of
// COM names: links named COM<n> in the port directory, and the serial
// devices the kernel lists under /sys/class/tty.
#pragma once

#include <string>
#include <vector>

namespace tavrol {

// Where the sources are looked for. Tests point them at folders of their own.
struct PortSources {
    std::string portDirectory;                   // links COM<n> -> tty
    std::string sysClassTty = "/sys/class/tty";  // the system's tty classes
    std::string devDirectory = "/dev";           // where the system's devices are
};

// The default port directory and the system's own places.
PortSources DefaultPortSources();

// A COM<n> link of the port directory that points to something that is not
// a directory.
struct PortLink {
    int number = 0;
    std::string name;    // "COM5"
    std::string device;  // the link's target, resolved
};

// The links of the port directory, in no particular order. A directory that
// is not private is ignored as a whole, so nobody else can slip a port in.
std::vector<PortLink> ListPortLinks(const std::string& directory);

// A serial device the kernel lists, with what the system shows of the USB
// device behind it (empty when it is none or shows nothing).
struct SystemDevice {
    std::string device;      // e.g. /dev/ttyUSB0
    std::string usbProduct;  // e.g. "USB Serial"
    std::string usbId;       // vendor:product, e.g. "1a86:7523"
    std::string usbSerial;
};

// The system's serial devices in natural order: ttyS first, then ttyUSB,
// ttyACM and the rest, each group by number. Only ttys backed by a device;
// UART slots without hardware are left out.
std::vector<SystemDevice> ListSystemDevices(const PortSources& sources);

// `path` with every link resolved, or `path` itself when it cannot be.
std::string CanonicalPath(const std::string& path);

}  // namespace tavrol
