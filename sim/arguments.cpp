#include "arguments.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tavrol::sim {

namespace {

constexpr int kMaxCom = 9999;
constexpr int kMaxCount = 64;

const char kUsage[] =
    "Usage: tavrol-sim [options]\n"
    "Plays the adapter on a pseudo-terminal registered as a COM port.\n"
    "\n"
    "  --com N              register as COM<N> (default: the lowest free number)\n"
    "  --baud R             the adapter's serial rate at start (default 115200)\n"
    "  --cpuid HEX24        the 12-byte identifier as 24 hex digits ('-' and ':' allowed)\n"
    "  --port-dir DIR       the port directory (default: the user's own)\n"
    "  --count N            N adapters (1 to 64) on consecutive COM numbers from\n"
    "                       --com (default: the lowest free run); each has its own\n"
    "                       registers, and with more than one each log line starts\n"
    "                       with its COM name. Every other option applies to each.\n"
    "\n"
    "Faults:\n"
    "  --delay MS           hold every reply MS milliseconds\n"
    "  --drop-every N       drop every N-th reply (1 = all)\n"
    "  --wrong-id           replies carry another register's Id\n"
    "  --corrupt-checksum   replies have a wrong checksum\n"
    "  --byte-by-byte       write replies one byte at a time\n"
    "  --noise N            write N random bytes before each reply\n"
    "  --can-traffic HZ     send HZ ordinary CAN messages per second\n"
    "  --wire-time          hold replies for their time on the wire\n"
    "  --unplug-after MS    unplug the adapter MS milliseconds after start\n"
    "  --replug-after MS    plug it back in MS milliseconds after unplugging\n"
    "\n"
    "  -h, --help           show this text\n"
    "\n"
    "SIGUSR1 unplugs the adapters and plugs them back in (a new serial rate then\n"
    "applies). SIGINT or SIGTERM ends them and removes their links.\n";

bool ParseNumber(const std::string& text, unsigned long min, unsigned long max, unsigned long* out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool ParseCpuid(const std::string& text, std::array<std::uint8_t, 12>* out) {
    std::string digits;
    for (char c : text) {
        if (c == '-' || c == ':') continue;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
        digits += c;
    }
    if (digits.size() != 24) return false;
    for (std::size_t i = 0; i < 12; ++i) {
        (*out)[i] = static_cast<std::uint8_t>(std::strtoul(digits.substr(2 * i, 2).c_str(), nullptr, 16));
    }
    return true;
}

}  // namespace

ParseResult ParseArguments(int argc, char** argv, Settings* s) {
    tavrol::sim::Faults& f = s->options.faults;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto take = [&](const char* what) {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tavrol-sim: %s needs %s\n", name.c_str(), what);
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto number = [&](const char* what, unsigned long min, unsigned long max, unsigned long* out) {
            if (!take(what)) return false;
            if (!ParseNumber(value, min, max, out)) {
                std::fprintf(stderr, "tavrol-sim: %s wants %s from %lu to %lu, not '%s'\n", name.c_str(), what, min,
                             max, value.c_str());
                return false;
            }
            return true;
        };
        auto flag = [&](bool* target) {
            if (hasValue) {
                std::fprintf(stderr, "tavrol-sim: %s takes no value\n", name.c_str());
                return false;
            }
            *target = true;
            return true;
        };
        unsigned long v = 0;
        bool ok = true;
        if (name == "-h" || name == "--help") {
            std::fputs(kUsage, stdout);
            return ParseResult::HelpShown;
        } else if (name == "--com") {
            ok = number("a COM number", 1, kMaxCom, &v);
            s->options.com = static_cast<int>(v);
        } else if (name == "--baud") {
            ok = number("a bit rate", 1, 4000000, &v);
            s->options.serialRate = static_cast<std::uint32_t>(v);
        } else if (name == "--cpuid") {
            ok = take("24 hex digits");
            if (ok && !ParseCpuid(value, &s->options.cpuid)) {
                std::fprintf(stderr, "tavrol-sim: --cpuid wants 24 hex digits, not '%s'\n", value.c_str());
                ok = false;
            }
        } else if (name == "--port-dir") {
            ok = take("a directory");
            s->options.portDirectory = value;
        } else if (name == "--count") {
            ok = number("a count", 1, kMaxCount, &v);
            s->count = static_cast<int>(v);
        } else if (name == "--delay") {
            ok = number("milliseconds", 0, 3600000, &v);
            f.replyDelayMs = static_cast<std::uint32_t>(v);
        } else if (name == "--drop-every") {
            ok = number("a count", 0, 1000000, &v);
            f.dropEvery = static_cast<std::uint32_t>(v);
        } else if (name == "--wrong-id") {
            ok = flag(&f.wrongId);
        } else if (name == "--corrupt-checksum") {
            ok = flag(&f.corruptChecksum);
        } else if (name == "--byte-by-byte") {
            ok = flag(&f.byteByByte);
        } else if (name == "--noise") {
            ok = number("a count", 0, 4096, &v);
            f.noiseBytes = static_cast<std::uint32_t>(v);
        } else if (name == "--can-traffic") {
            ok = number("messages per second", 0, 1000, &v);
            f.canTrafficHz = static_cast<std::uint32_t>(v);
        } else if (name == "--wire-time") {
            ok = flag(&f.wireTime);
        } else if (name == "--unplug-after") {
            ok = number("milliseconds", 0, 86400000, &v);
            s->unplugAfterMs = static_cast<long>(v);
        } else if (name == "--replug-after") {
            ok = number("milliseconds", 0, 86400000, &v);
            s->replugAfterMs = static_cast<long>(v);
        } else {
            std::fprintf(stderr, "tavrol-sim: unknown option '%s' (see --help)\n", argv[i]);
            ok = false;
        }
        if (!ok) return ParseResult::Bad;
    }
    if (s->replugAfterMs >= 0 && s->unplugAfterMs < 0) {
        std::fprintf(stderr, "tavrol-sim: --replug-after needs --unplug-after\n");
        return ParseResult::Bad;
    }
    if (s->options.com != 0 && s->options.com + s->count - 1 > kMaxCom) {
        std::fprintf(stderr, "tavrol-sim: --count %d from --com %d goes past COM%d\n", s->count, s->options.com,
                     kMaxCom);
        return ParseResult::Bad;
    }
    return ParseResult::Run;
}

}  // namespace tavrol::sim
