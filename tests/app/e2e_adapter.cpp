// The virtual adapter for the end-to-end test, driven over stdin/stdout:
// prints "COM <n>" once it is up, then answers one command per line:
//   log    every request received: "R|W <register id hex> <Dlc> <data hex>"
//   regs   the register contents
//   clear  forgets the requests received so far
//   unplug the adapter is pulled out: its port hangs up and its COM link goes
//   replug it is plugged back in under the same COM number
//   quit   (or end of input) stops
// Each answer ends with a line "END".
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "registers.h"
#include "virtual_adapter.h"

namespace {

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    tavrol::sim::Options options;
    if (argc > 1) options.serialRate = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    tavrol::sim::VirtualAdapter adapter(options);
    std::string error;
    if (!adapter.Start(&error)) {
        std::cerr << "cannot start the adapter: " << error << "\n";
        return 1;
    }
    std::cout << "COM " << adapter.ComNumber() << std::endl;

    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "quit") break;
        if (command == "log") {
            for (const tavrol::sim::Exchange& e : adapter.Log()) {
                std::string line = (e.request.Remote ? "R " : "W ") + Hex(e.request.Id, 7) + " " +
                                   std::to_string(e.request.Dlc);
                if (!e.request.Remote) {
                    line += " ";
                    for (int i = 0; i < e.request.Dlc && i < 8; ++i) line += Hex(e.request.Data[i], 2);
                }
                std::cout << line << "\n";
            }
        } else if (command == "regs") {
            const tavrol::sim::Registers r = adapter.GetRegisters();
            std::cout << "art " << int(r.art) << "\nabom " << int(r.abom) << "\ncanBaud " << r.canBaud
                      << "\nserialRate " << r.serialRate << "\npendingSerialRate " << r.pendingSerialRate << "\n";
            for (int n = 0; n < tavrol::kFilterCount; ++n) {
                const auto& f = r.filters[static_cast<std::size_t>(n)];
                std::cout << "filter " << n << " " << Hex(tavrol::LoadLE32(f.data()), 8) << " "
                          << Hex(tavrol::LoadLE32(f.data() + 4), 8) << "\n";
            }
        } else if (command == "clear") {
            adapter.ClearLog();
        } else if (command == "unplug") {
            adapter.Unplug();
        } else if (command == "replug") {
            if (!adapter.Replug(&error)) std::cout << "error " << error << "\n";
        }
        std::cout << "END" << std::endl;
    }
    adapter.Stop();
    return 0;
}
