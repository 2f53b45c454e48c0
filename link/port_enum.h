// The system's serial ports as COM numbers, and the map from a COM number to
// the device behind it.
//
// Linux has no table of COM names, so the ports are gathered from two sources,
// listed in ascending COM number:
//  - links named COM<n> in the port directory, each pointing to a tty; this
//    is how a pseudo-terminal (the virtual adapter, a user's own link)
//    becomes a COM port;
//  - the system's serial devices under /sys/class/tty, in natural order, each
//    taking the lowest COM number no link has taken.
#pragma once

#include <string>
#include <vector>

namespace tavrol {

struct PortEntry {
    int number = 0;      // the n of COMn
    std::string device;  // what opening COMn opens, e.g. /dev/ttyUSB0 or /dev/pts/3
};

// Where the sources are looked for. Tests point them at folders of their own.
struct PortSources {
    std::string portDirectory;                   // links COM<n> -> tty
    std::string sysClassTty = "/sys/class/tty";  // the system's tty classes
    std::string devDirectory = "/dev";           // where the system's devices are
};

// $XDG_RUNTIME_DIR/tavrol/ports, or /tmp/tavrol-<uid>/ports when the variable
// is unset or empty.
std::string DefaultPortDirectory();
PortSources DefaultPortSources();

// Creates the port directory (and its parent) as the user's own, mode 0700.
// false with a reason in `error` when it cannot be made or is not safe to use.
bool EnsurePortDirectory(const std::string& directory, std::string* error);

// Every serial port the sources show, ascending by COM number.
std::vector<PortEntry> ListSerialPorts(const PortSources& sources);

// The counting and number reading of the enumeration over a sequence of device
// texts such as "COM3": returns the number of texts; where `out` is not null,
// stores the number read from each non-empty text's fourth character on at its
// index below `capacity`. A text of three characters or fewer gives 0.
int EnumerateDeviceTexts(const std::vector<std::string>& texts, int* out, int capacity);

// The enumeration over the system's ports (the sources set by
// SetPortSources, by default DefaultPortSources()). Each call records what it
// listed; Open of COMn then opens the device that the last call showed as COMn.
int EnumerateSerialPorts(int* out, int capacity);

// The device the last enumeration showed as COM`number`; when no enumeration
// listed that number, the sources are read afresh. Empty when there is none.
std::string DevicePathForPort(int number);

// Replaces the sources used by EnumerateSerialPorts and DevicePathForPort and
// forgets the last enumeration.
void SetPortSources(const PortSources& sources);
PortSources CurrentPortSources();

}  // namespace tavrol
