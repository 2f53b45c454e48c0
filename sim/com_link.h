// The COM<n> link in the port directory under which the virtual adapter's
// slave is listed as a serial port.
#pragma once

#include <string>

namespace tavrol::sim {

enum class LinkResult { Created, InUse, Failed };

// Creates `path` -> `target`. A dangling link (or one to something that is no
// character device) is replaced in one step; a link to a live device, or
// anything that is not a link, is left alone (InUse). `reason` says why it
// was not created.
LinkResult CreatePortLink(const std::string& path, const std::string& target, std::string* reason);

// Removes `path` only while it is a link to `target`: someone may have taken
// the name since. true when it did.
bool RemoveOwnLink(const std::string& path, const std::string& target);

// Where a link points, empty when `path` is no link.
std::string ReadLinkText(const std::string& path);

std::string ComLinkPath(const std::string& portDirectory, int number);

struct ComLink {
    int number = 0;
    std::string path;
};

// Registers `target` as COM<wanted> in `portDirectory`, or with `wanted` 0
// under the lowest number the port list does not show and whose name is
// free. false with a reason in `error`.
bool RegisterComLink(const std::string& portDirectory, int wanted, const std::string& target, ComLink* link,
                     std::string* error);

// The lowest n >= 1 such that COM<n> to COM<n+count-1> are all free: none is
// in the port list, and each name is unused or a dangling link. 0 when there
// is no such run among the numbers a default is picked from.
int LowestFreeComRun(const std::string& portDirectory, int count);

}  // namespace tavrol::sim
