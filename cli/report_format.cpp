#include "report_format.h"

#include <cstdio>

#include "profile.h"

namespace tavrol::cli {

namespace {

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string OnOff(bool on) { return on ? "on" : "off"; }

std::string Row(const std::string& name, const std::string& value) {
    char text[96];
    std::snprintf(text, sizeof text, "  %-12s %s\n", name.c_str(), value.c_str());
    return text;
}

std::string Header(const PortReport& r) {
    return r.port + " (" + r.device + ") at " + std::to_string(r.baud) + ", identifier " + r.identifier + "\n";
}

std::string WrittenText(const PortReport& r, Command command) {
    const std::string port = r.port + ": ";
    if (!r.wouldWrite.empty()) return port + "would write " + Joined(r.wouldWrite) + "\n";
    if (!r.written.empty()) return port + "wrote " + Joined(r.written) + "\n";
    return port + (command == Command::Apply ? "nothing to write: the adapter holds the profile\n"
                                             : "nothing to write: the adapter holds these settings\n");
}

}  // namespace

std::string SettingsText(const AdapterSettings& s) {
    std::string text = Row("can-bitrate", std::to_string(s.canBitrate)) + Row("retransmit", OnOff(s.retransmit)) +
                       Row("bus-off", OnOff(s.busOff));
    for (int i = 0; i < kFilterCount; ++i) {
        const FilterSetting& f = s.filters[static_cast<std::size_t>(i)];
        text += Row("filter" + std::to_string(i), OnOff(f.enabled) + (f.enabled ? "  " : " ") +
                                                      (f.extended ? "ext " : "std ") +
                                                      FilterValueText(f.identifier, f.extended) + "/" +
                                                      FilterValueText(f.mask, f.extended));
    }
    return text;
}

nlohmann::ordered_json ReportJson(const PortReport& r, Command command) {
    nlohmann::ordered_json json;
    json["port"] = r.port;
    json["device"] = r.device;
    if (r.baud != 0) json["baud"] = r.baud;
    json["ok"] = r.ok;
    if (!r.identifier.empty()) json["identifier"] = r.identifier;
    if (r.settings) json["settings"] = SettingsJson(*r.settings);
    if (command == Command::Set || command == Command::Apply || command == Command::Reset ||
        command == Command::SerialRate)
        json["written"] = r.written;
    if (command == Command::Apply && r.ok) json["would_write"] = r.wouldWrite;
    if (r.serialRate != 0) json["serial_rate"] = r.serialRate;
    if (!r.profileFile.empty()) json["file"] = r.profileFile;
    json["elapsed_ms"] = r.elapsedMs;
    if (!r.ok) json["error"] = {{"code", r.errorCode}, {"message", r.errorMessage}};
    return json;
}

std::string ReportText(const PortReport& r, Command command) {
    switch (command) {
        case Command::Show: return Header(r) + SettingsText(*r.settings);
        case Command::Set:
        case Command::Apply: return WrittenText(r, command);
        case Command::Export:
            return r.profileFile.empty() ? ProfileText(*r.settings) : r.port + ": profile written to " + r.profileFile + "\n";
        case Command::Reset: return r.port + ": factory settings restored\n" + Header(r) + SettingsText(*r.settings);
        case Command::SerialRate:
            return r.port + ": serial rate " + std::to_string(r.serialRate) +
                   " written; unplug the adapter and plug it in again to use it\n";
        case Command::Search: return r.port + ": " + std::to_string(r.baud) + "\n";
        case Command::List: break;
    }
    return {};
}

std::string FailureText(const PortReport& r) {
    return "tavrolctl: " + r.port + ": " + r.errorCode + ": " + r.errorMessage + "\n";
}

std::string SummaryText(int ok, int failed) {
    return std::to_string(ok) + " ok, " + std::to_string(failed) + " failed\n";
}

}  // namespace tavrol::cli
