#include "port_list.h"

#include <nlohmann/json.hpp>

#include <string>

namespace tavrol::cli {

namespace {

std::string TextLine(const PortEntry& p) {
    std::string line = "COM" + std::to_string(p.number) + "\t" + p.device;
    if (!p.usbProduct.empty()) line += "\t" + p.usbProduct;
    if (!p.usbId.empty()) line += "\t" + p.usbId;
    if (!p.usbSerial.empty()) line += "\tserial " + p.usbSerial;
    return line + "\n";
}

std::string JsonLine(const PortEntry& p) {
    nlohmann::ordered_json json;
    json["port"] = "COM" + std::to_string(p.number);
    json["device"] = p.device;
    json["usb_product"] = p.usbProduct;
    json["usb_id"] = p.usbId;
    json["usb_serial"] = p.usbSerial;
    return json.dump() + "\n";
}

}  // namespace

void WritePortList(const std::vector<PortEntry>& ports, bool json, std::FILE* out) {
    for (const PortEntry& p : ports) {
        const std::string line = json ? JsonLine(p) : TextLine(p);
        std::fwrite(line.data(), 1, line.size(), out);
    }
    std::fflush(out);
}

}  // namespace tavrol::cli
