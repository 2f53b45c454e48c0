#include "profile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "setting_values.h"

namespace tavrol::cli {

namespace {

using Json = nlohmann::json;

// Carries the first problem found to the top of the reading.
struct ProfileError {
    std::string message;
};

[[noreturn]] void Refuse(const std::string& key, const std::string& why) { throw ProfileError{key + ": " + why}; }

std::uint64_t UnsignedOf(const Json& value, const std::string& key) {
    if (!value.is_number_integer()) Refuse(key, "expected a whole number, found " + value.dump());
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    const auto signedValue = value.get<std::int64_t>();
    if (signedValue < 0) Refuse(key, "expected a whole number of 0 or more, found " + value.dump());
    return static_cast<std::uint64_t>(signedValue);
}

bool BoolOf(const Json& value, const std::string& key) {
    if (!value.is_boolean()) Refuse(key, "expected true or false, found " + value.dump());
    return value.get<bool>();
}

std::uint32_t FilterValueOf(const Json& value, const std::string& key, bool extended) {
    std::uint64_t number = 0;
    if (value.is_string()) {
        const auto hex = ParseHex(value.get<std::string>());
        if (!hex) Refuse(key, "expected a hexadecimal number, found " + value.dump());
        number = *hex;
    } else if (value.is_number_integer()) {
        number = UnsignedOf(value, key);
    } else {
        Refuse(key, "expected a hexadecimal string or a whole number, found " + value.dump());
    }
    const std::uint32_t limit = FilterValueLimit(extended);
    if (number > limit)
        Refuse(key, "above " + FilterValueText(limit, extended) + " for " + (extended ? "an extended" : "a standard") +
                        " filter");
    return static_cast<std::uint32_t>(number);
}

void ReadHeader(const Json& document) {
    if (!document.contains("format")) Refuse("format", "missing; a profile starts with \"format\": \"tavrol-profile\"");
    const Json& format = document["format"];
    if (!format.is_string() || format.get<std::string>() != kProfileFormat)
        Refuse("format", "expected \"tavrol-profile\", found " + format.dump());
    if (!document.contains("version")) Refuse("version", "missing");
    const Json& version = document["version"];
    if (!version.is_number_integer() || version.get<std::int64_t>() != kProfileVersion)
        Refuse("version", "this program reads version 1, found " + version.dump());
}

// One entry of "filters": its index, and what it changes.
void ReadFilter(const Json& entry, const std::string& key, SettingsChange* change, std::set<std::uint64_t>* seen) {
    if (!entry.is_object()) Refuse(key, "expected an object, found " + entry.dump());
    for (const auto& item : entry.items()) {
        static const std::set<std::string> known = {"index", "enabled", "format", "id", "mask"};
        if (!known.count(item.key())) Refuse(key + "." + item.key(), "unknown key");
    }
    if (!entry.contains("index")) Refuse(key + ".index", "missing");
    const std::uint64_t index = UnsignedOf(entry["index"], key + ".index");
    if (index >= static_cast<std::uint64_t>(kFilterCount))
        Refuse(key + ".index", "must be 0 to 13, found " + std::to_string(index));
    if (!seen->insert(index).second) Refuse(key + ".index", "filter " + std::to_string(index) + " given twice");

    FilterChange filter;
    if (entry.contains("enabled")) filter.enabled = BoolOf(entry["enabled"], key + ".enabled");
    if (entry.contains("format")) {
        const Json& format = entry["format"];
        if (!format.is_string() || (format != "std" && format != "ext"))
            Refuse(key + ".format", "expected \"std\" or \"ext\", found " + format.dump());
        filter.extended = format == "ext";
    }
    for (const char* name : {"id", "mask"}) {
        if (!entry.contains(name)) continue;
        // The width of a value depends on the format, so the two come together.
        if (!filter.extended) Refuse(key + "." + name, "needs \"format\" in the same filter");
        const std::uint32_t value = FilterValueOf(entry[name], key + "." + name, *filter.extended);
        (std::string(name) == "id" ? filter.identifier : filter.mask) = value;
    }
    change->filters[static_cast<std::size_t>(index)] = filter;
}

SettingsChange ReadSettingsKeys(const Json& document) {
    SettingsChange change;
    for (const auto& item : document.items()) {
        static const std::set<std::string> known = {"format", "version", "can_bitrate", "retransmit", "bus_off",
                                                    "filters"};
        if (!known.count(item.key())) Refuse(item.key(), "unknown key");
    }
    if (document.contains("can_bitrate")) {
        const std::uint64_t rate = UnsignedOf(document["can_bitrate"], "can_bitrate");
        if (rate < 1 || rate > kMaxCanBitrate)
            Refuse("can_bitrate", "must be 1 to 1000000, found " + std::to_string(rate));
        change.canBitrate = static_cast<std::uint32_t>(rate);
    }
    if (document.contains("retransmit")) change.retransmit = BoolOf(document["retransmit"], "retransmit");
    if (document.contains("bus_off")) change.busOff = BoolOf(document["bus_off"], "bus_off");
    if (document.contains("filters")) {
        const Json& filters = document["filters"];
        if (!filters.is_array()) Refuse("filters", "expected a list, found " + filters.dump());
        std::set<std::uint64_t> seen;
        for (std::size_t i = 0; i < filters.size(); ++i)
            ReadFilter(filters[i], "filters[" + std::to_string(i) + "]", &change, &seen);
    }
    return change;
}

}  // namespace

ProfileReading ParseProfile(const std::string& text) {
    ProfileReading reading;
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        reading.error = "not a JSON document";
        return reading;
    }
    if (!document.is_object()) {
        reading.error = "expected a JSON object with \"format\": \"tavrol-profile\"";
        return reading;
    }
    try {
        ReadHeader(document);
        reading.change = ReadSettingsKeys(document);
        reading.ok = true;
    } catch (const ProfileError& e) {
        reading.error = e.message;
    }
    return reading;
}

ProfileReading ReadProfileFile(const std::string& path) {
    ProfileReading reading;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        reading.error = path + ": is a directory, not a profile";
        return reading;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        // Say why, so a typo in the name reads differently from missing rights.
        const int err = errno;
        reading.error = path + ": cannot be read" + (err != 0 ? std::string(": ") + std::strerror(err) : "");
        return reading;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        reading.error = path + ": cannot be read";
        return reading;
    }
    reading = ParseProfile(text.str());
    if (!reading.ok) reading.error = path + ": " + reading.error;
    return reading;
}

nlohmann::ordered_json SettingsJson(const AdapterSettings& settings) {
    nlohmann::ordered_json json;
    json["can_bitrate"] = settings.canBitrate;
    json["retransmit"] = settings.retransmit;
    json["bus_off"] = settings.busOff;
    json["filters"] = nlohmann::ordered_json::array();
    for (int i = 0; i < kFilterCount; ++i) {
        const FilterSetting& f = settings.filters[static_cast<std::size_t>(i)];
        nlohmann::ordered_json filter;
        filter["index"] = i;
        filter["enabled"] = f.enabled;
        filter["format"] = f.extended ? "ext" : "std";
        filter["id"] = FilterValueText(f.identifier, f.extended);
        filter["mask"] = FilterValueText(f.mask, f.extended);
        json["filters"].push_back(filter);
    }
    return json;
}

std::string ProfileText(const AdapterSettings& settings) {
    nlohmann::ordered_json profile;
    profile["format"] = kProfileFormat;
    profile["version"] = kProfileVersion;
    profile.update(SettingsJson(settings));
    return profile.dump(2) + "\n";
}

}  // namespace tavrol::cli
