// The virtual adapter: plays the adapter's side of the protocol on the master
// side of a pseudo-terminal and registers the slave as a COM port, so the tool
// can be tried and tested without hardware.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "can_message.h"

namespace tavrol::sim {

// Faults to play, for tests and demonstrations. All off by default; each can
// be changed while the adapter runs.
struct Faults {
    std::uint32_t replyDelayMs = 0;      // hold every reply this long
    std::uint32_t dropEvery = 0;         // drop every n-th reply (1 = all)
    bool wrongId = false;                // replies carry another register's Id
    bool corruptChecksum = false;        // replies have a wrong checksum
    bool byteByByte = false;             // replies written one byte at a time
    std::uint32_t noiseBytes = 0;        // random bytes written before each reply
    std::uint32_t canTrafficHz = 0;      // ordinary CAN messages (Kind != 0xFF) per second
    bool wireTime = false;               // hold each reply for its bytes' time on the wire
};

struct Options {
    int com = 0;                         // COM number to register; 0 = lowest free
    std::uint32_t serialRate = 115200;   // the adapter's serial rate at start
    std::array<std::uint8_t, 12> cpuid = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35,
                                          0x36, 0x37, 0x38, 0x39, 0x3a, 0x3b};
    std::string portDirectory;           // empty = the default port directory
    Faults faults;
};

// The adapter's register contents.
struct Registers {
    std::uint32_t serialRate = 115200;   // in effect on the line
    std::uint32_t pendingSerialRate = 115200;  // applies from the next connection
    std::uint8_t art = 1;
    std::uint8_t abom = 1;
    std::uint32_t canBaud = 500000;
    std::array<std::array<std::uint8_t, 8>, 14> filters = {};
};

// One request the adapter received, and what it answered.
struct Exchange {
    CanMessage request;
    bool answered = false;
    CanMessage reply;
};

class VirtualAdapter {
public:
    explicit VirtualAdapter(Options options = {});
    ~VirtualAdapter();  // stops and removes the port link

    VirtualAdapter(const VirtualAdapter&) = delete;
    VirtualAdapter& operator=(const VirtualAdapter&) = delete;

    // Opens the pseudo-terminal, registers COM<n> and starts answering.
    bool Start(std::string* error = nullptr);
    void Stop();

    int ComNumber() const;
    std::string SlavePath() const;   // the tty behind COM<n>
    std::string LinkPath() const;    // the COM<n> link in the port directory

    Registers GetRegisters() const;
    void SetRegisters(const Registers& registers);
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;

    // Every request received so far, in order.
    std::vector<Exchange> Log() const;
    void ClearLog();
    // Blocks until at least `count` requests have arrived or `timeoutMs` passed.
    bool WaitForRequests(std::size_t count, std::uint32_t timeoutMs) const;

    // The pseudo-terminal hangs up, like an adapter pulled from the USB port.
    void Unplug();
    // A new pseudo-terminal under the same COM number, like plugging it back.
    bool Replug(std::string* error = nullptr);

    // Called (on the adapter's thread) with a readable line for every request
    // and reply; the program prints it.
    void SetLogSink(std::function<void(const std::string&)> sink);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The readable line the log shows for one exchange.
std::string Describe(const Exchange& exchange);

}  // namespace tavrol::sim
