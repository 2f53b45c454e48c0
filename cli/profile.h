// Profiles: an adapter's settings as a versioned JSON document, written by
// export and read by apply. Every key but "format" and "version" is optional;
// a key left out leaves that setting as the adapter holds it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "adapter_settings.h"

namespace tavrol::cli {

inline constexpr const char* kProfileFormat = "tavrol-profile";
inline constexpr int kProfileVersion = 1;

struct ProfileReading {
    bool ok = false;
    SettingsChange change;
    std::string error;  // names the key and why, when not ok
};

// Reads a profile document. Identifiers and masks are hexadecimal strings,
// with or without 0x, or JSON integers.
ProfileReading ParseProfile(const std::string& text);
// Reads the profile file at `path`; the message names the file.
ProfileReading ReadProfileFile(const std::string& path);

// The settings as profile keys, without "format" and "version".
nlohmann::ordered_json SettingsJson(const AdapterSettings& settings);
// A whole profile holding every setting, as export writes it.
std::string ProfileText(const AdapterSettings& settings);

}  // namespace tavrol::cli
