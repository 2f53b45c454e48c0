// The port directory: a private folder of COM<n> links, each pointing to a
// tty. It is how a pseudo-terminal (the virtual adapter, a user's own link)
// becomes a COM port, so only its owner may change it.
#pragma once

#include <string>

namespace tavrol {

// $XDG_RUNTIME_DIR/tavrol/ports, or /tmp/tavrol-<uid>/ports when the variable
// is unset or empty.
std::string DefaultPortDirectory();

// Creates the port directory (and its parent) as the user's own, mode 0700.
// false with a reason in `error` when it cannot be made or is not safe to use.
bool EnsurePortDirectory(const std::string& directory, std::string* error);

// Opens `directory` for reading entries relative to it, only when it is a
// private directory of this user (a real directory, not a link, that nobody
// else may change). The descriptor, or -1 with errno set (EPERM when the
// directory is not private).
int OpenPortDirectory(const std::string& directory);

// The n of a link name "COM<n>" (n positive, decimal, no leading zeros), 0
// for any other name.
int ComNumberOfName(const char* name);

}  // namespace tavrol
