// Writing a profile to a file: whole or not at all.
#pragma once

#include <string>

#include "adapter_settings.h"

namespace tavrol::cli {

// Whether `path` can be written, checked before anything is sent so that a
// bad -o FILE is a usage error, not a failed port.
bool CanWriteFile(const std::string& path, std::string* error);

// Writes next to `path` and renames over it, so a reader never sees half a
// profile.
bool WriteProfileFile(const std::string& path, const AdapterSettings& settings, std::string* error);

}  // namespace tavrol::cli
