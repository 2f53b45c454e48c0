#include "command_line.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "profile.h"
#include "profile_file.h"
#include "setting_values.h"

namespace tavrol::cli {

namespace {

const char kDescription[] =
    "tavrolctl - configure USB-to-CAN adapters from scripts, one or many at once.\n"
    "\n"
    "A PORT is a COM name (COM5), a bare number (5) or a device path (/dev/ttyUSB0).\n"
    "Commands that talk to adapters run their PORTs in parallel, each connecting at\n"
    "--baud (or finding the rate with --search) and reading the adapter's identifier.";

const char kFooter[] =
    "Settings of set:\n"
    "  can-bitrate=N          CAN bit rate in bit/s, 1 to 1000000\n"
    "  retransmit=on|off      automatic retransmission\n"
    "  bus-off=on|off         automatic bus-off management\n"
    "  filterN=std:ID/MASK    filter N (0 to 13) on, 11-bit; ID and MASK hex, at most 7FF\n"
    "  filterN=ext:ID/MASK    filter N on, 29-bit; ID and MASK hex, at most 1FFFFFFF\n"
    "  filterN=off            filter N off; its format, ID and mask stay as they are\n"
    "\n"
    "Serial rates (--baud, serial-rate): 300 600 1200 1800 2400 4000 4800 7200 9600\n"
    "14400 16000 19200 28800 38400 51200 56000 57600 64000 76800 115200 128000 153600\n"
    "230400 250000 256000 460800 500000 576000 921600.\n"
    "\n"
    "Profile: {\"format\": \"tavrol-profile\", \"version\": 1, \"can_bitrate\": 500000,\n"
    "\"retransmit\": true, \"bus_off\": true, \"filters\": [{\"index\": 0, \"enabled\": true,\n"
    "\"format\": \"std\", \"id\": \"123\", \"mask\": \"7FF\"}]}. Every key but format and\n"
    "version may be left out; what is left out is not changed.\n"
    "\n"
    "Output: text for people; with --json one JSON object per port per line. Errors\n"
    "and a last summary line (\"3 ok, 1 failed\") go to standard error. Failure codes:\n"
    "open-failed, no-answer, timeout, write-failed, mismatch, port-lost, interrupted.\n"
    "\n"
    "Exit status: 0 when every port succeeded, 1 when any port failed or the run was\n"
    "stopped by SIGINT or SIGTERM, 2 on a usage error or a bad profile; nothing is\n"
    "sent to any adapter when an argument or the profile is wrong.\n"
    "\n"
    "Ports: COM names are the links COM<n> in $XDG_RUNTIME_DIR/tavrol/ports and the\n"
    "system's serial devices, as 'tavrolctl list' shows them.\n"
    "\n"
    "Examples:\n"
    "  tavrolctl show COM5\n"
    "      every setting of the adapter on COM5\n"
    "\n"
    "  tavrolctl set /dev/ttyUSB0 can-bitrate=250000 filter0=std:123/7FF\n"
    "      two settings, each read back\n"
    "\n"
    "  tavrolctl export COM5 -o line.json && tavrolctl apply line.json COM20 COM21\n"
    "      the settings of one adapter onto two others, in parallel";

// Raw strings as CLI11 collects them, checked afterwards so that every
// message names the argument and the reason.
struct RawArguments {
    std::string baud;
    std::vector<std::string> ports;
    std::vector<std::string> mixed;  // set: PORTs and SETTING=VALUEs
    std::string profile;
    std::string rate;
    bool yes = false;
};

struct UsageError {
    std::string message;
};

[[noreturn]] void Refuse(const std::string& message) { throw UsageError{message}; }

std::uint32_t RateOf(const std::string& text, const std::string& what) {
    const auto rate = ParseDecimal(text);
    if (!rate || !IsSerialRate(*rate))
        Refuse(what + " " + text + ": not one of the 29 serial rates (300 to 921600; see --help)");
    return static_cast<std::uint32_t>(*rate);
}

void AddPort(const std::string& text, Invocation* invocation) {
    const auto port = ParsePortName(text);
    if (!port) Refuse("PORT '" + text + "': expected a COM name (COM5), a number (5) or a device path");
    // The second run on a port would find it held by the first.
    for (const PortName& earlier : invocation->ports) {
        if (earlier.text == port->text) Refuse("PORT " + port->text + " given twice");
    }
    invocation->ports.push_back(*port);
}

void CompleteSet(const RawArguments& raw, Invocation* invocation) {
    std::string error;
    for (const std::string& item : raw.mixed) {
        if (item.find('=') == std::string::npos) {
            AddPort(item, invocation);
        } else if (!AddAssignment(item, &invocation->change, &error)) {
            Refuse(error);
        }
    }
    if (invocation->ports.empty()) Refuse("set: no PORT given");
    if (raw.mixed.size() == invocation->ports.size()) Refuse("set: no SETTING=VALUE given");
}

void Complete(const RawArguments& raw, Invocation* invocation) {
    if (!raw.baud.empty()) invocation->baud = RateOf(raw.baud, "--baud");
    if (invocation->command == Command::Set) return CompleteSet(raw, invocation);
    for (const std::string& port : raw.ports) AddPort(port, invocation);
    switch (invocation->command) {
        case Command::Apply: {
            const ProfileReading profile = ReadProfileFile(raw.profile);
            if (!profile.ok) Refuse("bad profile " + profile.error);
            invocation->change = profile.change;
            break;
        }
        case Command::Reset:
            if (!raw.yes) Refuse("reset restores the factory settings of every PORT given; add --yes to do it");
            break;
        case Command::SerialRate: invocation->serialRate = RateOf(raw.rate, "RATE"); break;
        case Command::Export: {
            std::string error;
            if (!invocation->outputFile.empty() && !CanWriteFile(invocation->outputFile, &error))
                Refuse("-o " + error);
            break;
        }
        default: break;
    }
}

// CLI11 reports a mistyped command only as a missing one; name it instead.
void CheckCommandWord(int argc, const char* const* argv) {
    static const std::vector<std::string> kCommands = {"list",   "show",  "set",         "export",
                                                       "apply",  "reset", "serial-rate", "search"};
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--baud" || word == "--jobs") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') continue;
        for (const std::string& command : kCommands) {
            if (word == command) return;
        }
        Refuse("unknown command '" + word + "' (commands: list, show, set, export, apply, reset, serial-rate, search)");
    }
}

CLI::App* PortCommand(CLI::App& app, const char* name, const char* description, RawArguments& raw) {
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("PORT", raw.ports, "COM name, number or device path")->required();
    return command;
}

}  // namespace

const char* CommandName(Command command) {
    switch (command) {
        case Command::List: return "list";
        case Command::Show: return "show";
        case Command::Set: return "set";
        case Command::Export: return "export";
        case Command::Apply: return "apply";
        case Command::Reset: return "reset";
        case Command::SerialRate: return "serial-rate";
        case Command::Search: return "search";
    }
    return "";
}

int ParseCommandLine(int argc, const char* const* argv, Invocation* invocation, std::FILE* out, std::FILE* err) {
    CLI::App app(kDescription, "tavrolctl");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("tavrolctl ") + TAVROL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    RawArguments raw;
    app.add_flag("--json", invocation->json, "one JSON object per port per line on standard output");
    auto* baud = app.add_option("--baud", raw.baud, "serial rate to connect at (default 115200)")->type_name("RATE");
    app.add_flag("--search", invocation->search, "find the serial rate: the 29 rates in order, one attempt each")
        ->excludes(baud);
    app.add_option("--jobs", invocation->jobs, "ports worked on at once (default: all)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);

    app.add_subcommand("list", "[--json]: the serial ports as COM numbers, with device path and USB details; opens nothing");
    PortCommand(app, "show", "PORT...: the identifier and every readable setting", raw);
    app.add_subcommand("set", "PORT... SETTING=VALUE...: write settings, each checked by reading it back")
        ->add_option("ARGS", raw.mixed, "PORT... SETTING=VALUE...")->required();
    auto* exportCommand = app.add_subcommand("export", "PORT [-o FILE]: the settings as a profile (JSON)");
    exportCommand->add_option("PORT", raw.ports, "COM name, number or device path")->required()->expected(1);
    exportCommand->add_option("-o,--output", invocation->outputFile, "write the profile to FILE, not standard output");
    auto* apply = app.add_subcommand("apply", "PROFILE PORT... [--dry-run]: write what differs from the profile, read back and compare");
    apply->add_option("PROFILE", raw.profile, "profile file")->required();
    apply->add_option("PORT", raw.ports, "COM name, number or device path")->required();
    apply->add_flag("--dry-run", invocation->dryRun, "say what would be written, write nothing");
    PortCommand(app, "reset", "PORT... --yes: restore the factory settings, then show the settings", raw)
        ->add_flag("--yes", raw.yes, "confirm the factory reset");
    auto* serialRate = app.add_subcommand("serial-rate", "RATE PORT...: write the adapter's own serial rate (used after a replug)");
    serialRate->add_option("RATE", raw.rate, "one of the 29 serial rates")->required();
    serialRate->add_option("PORT", raw.ports, "COM name, number or device path")->required();
    PortCommand(app, "search", "PORT...: find each adapter's serial rate", raw);

    try {
        CheckCommandWord(argc, argv);
        app.parse(argc, argv);
        const std::string name = app.get_subcommands().front()->get_name();
        for (Command c : {Command::List, Command::Show, Command::Set, Command::Export, Command::Apply, Command::Reset,
                          Command::SerialRate, Command::Search}) {
            if (name == CommandName(c)) invocation->command = c;
        }
        Complete(raw, invocation);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), out);
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), out);
        return kExitOk;
    } catch (const CLI::CallForVersion&) {
        std::fprintf(out, "tavrolctl %s\n", TAVROL_VERSION);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::fprintf(err, "tavrolctl: %s\nRun 'tavrolctl --help' for the commands and their arguments.\n", e.what());
        return kExitUsage;
    } catch (const UsageError& e) {
        std::fprintf(err, "tavrolctl: %s\n", e.message.c_str());
        return kExitUsage;
    }
    return -1;
}

}  // namespace tavrol::cli
