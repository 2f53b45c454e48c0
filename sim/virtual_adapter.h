// The virtual adapter: plays the adapter's side of the protocol on the master
// side of a pseudo-terminal and registers the slave as a COM port, so the tool
// can be tried and tested without hardware.
//
// Rules it plays by:
//  - The slave is registered as a link COM<n> -> /dev/pts/<k> in the port
//    directory. With no COM number asked for, it takes the lowest n >= 1 that
//    the port list does not show. A COM<n> link that points to a live
//    character device is never replaced; a dangling one is. The link goes
//    when the adapter stops or is unplugged, and only if it still points to
//    this adapter's slave.
//  - The adapter holds a descriptor on its own slave for as long as it is
//    plugged in, so the tool may close and reopen the port any number of
//    times without the master seeing a hang-up, and the line keeps its
//    settings in between.
//  - It answers only while the line speed the tool has set equals its serial
//    rate; bytes arriving at any other speed are thrown away undecoded, as a
//    real adapter at the wrong rate would see only garbage.
//  - Requests are 16-byte frames with Kind 0xFF: Remote 1 reads, Remote 0
//    writes. The reply has Id = the register, its value in Data[0..size-1]
//    (the rest 0), Dlc = its size, Kind 0xFF, Extended 1, Remote 0.
//    A write is stored only when size <= Dlc <= 8; otherwise, and for an
//    unknown identifier, any other Remote value, any other Kind or length,
//    there is no reply (the log says why).
//  - The identifier registers read the identifier and cannot be written: a
//    write is answered with the unchanged value. A write to the factory-reset
//    register, of any value, restores the factory state except the identifier
//    and is answered with the value written; it reads as 0.
//  - A serial rate written (or restored by a factory reset) is answered at
//    the old rate and becomes pending; REG_USART_BAUD reads the pending rate.
//    A rate of 0 is not taken: the reply carries the unchanged value.
//    The pending rate takes effect at the next connection, which is either
//      * the first moment the tool's line speed differs from the rate in
//        effect (the tool has reopened the port at another speed), or
//      * a Replug.
//    Reopening at the old speed therefore keeps the old rate.
//  - Unplug closes both ends of the pseudo-terminal (the tool's reads and
//    writes fail, its poll sees a hang-up) and removes the COM link, as the
//    port of a pulled adapter vanishes from the system; Replug opens a new
//    pseudo-terminal and registers it under the same COM number.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "can_message.h"

namespace tavrol::sim {

// Faults to play, for tests and demonstrations. All off by default; each can
// be changed while the adapter runs, from any thread.
struct Faults {
    std::uint32_t replyDelayMs = 0;      // hold every reply this long
    std::uint32_t dropEvery = 0;         // drop every n-th reply (1 = all); the
                                         // request still takes effect
    bool wrongId = false;                // replies carry another register's Id
    bool corruptChecksum = false;        // replies have a wrong checksum
    bool byteByByte = false;             // replies written one byte at a time,
                                         // 2 ms apart
    std::uint32_t noiseBytes = 0;        // random bytes written before each
                                         // reply; never two 0xAA in a row, so
                                         // they cannot open a frame
    std::uint32_t canTrafficHz = 0;      // ordinary CAN messages (Kind 0x00) per
                                         // second, sent while the line speed is
                                         // right and the tool keeps reading
    bool wireTime = false;               // hold each reply for 10 bits per byte of
                                         // request and reply frame at the serial rate
};

struct Options {
    int com = 0;                         // COM number to register; 0 = lowest free
    std::uint32_t serialRate = 115200;   // the adapter's serial rate at start
    std::array<std::uint8_t, 12> cpuid = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35,
                                          0x36, 0x37, 0x38, 0x39, 0x3a, 0x3b};
    std::string portDirectory;           // empty = the default port directory
    Faults faults;
};

// The adapter's register contents. A default-constructed value is the factory
// state.
struct Registers {
    std::uint32_t serialRate = 115200;   // in effect on the line
    std::uint32_t pendingSerialRate = 115200;  // applies from the next connection
    std::uint8_t art = 1;
    std::uint8_t abom = 1;
    std::uint32_t canBaud = 500000;
    std::array<std::array<std::uint8_t, 8>, 14> filters = {};
};

// One frame the adapter received, and what it answered.
struct Exchange {
    CanMessage request;                  // the first 16 payload bytes, zero-padded
    std::uint32_t length = kCanMessageSize;  // payload length of the frame
    bool answered = false;               // a reply went out on the line
    CanMessage reply;                    // as sent (wrong Id included)
    std::string note;                    // why there was no reply, or the faults
                                         // the reply carried
};

class VirtualAdapter {
public:
    explicit VirtualAdapter(Options options = {});
    ~VirtualAdapter();  // stops and removes the port link

    VirtualAdapter(const VirtualAdapter&) = delete;
    VirtualAdapter& operator=(const VirtualAdapter&) = delete;

    // Opens the pseudo-terminal, registers COM<n> and starts answering.
    // false with a reason in `error` when already started or on failure.
    bool Start(std::string* error = nullptr);
    // Ends the adapter's thread, closes the pseudo-terminal, removes the link.
    void Stop();

    bool IsRunning() const;   // started and not stopped
    bool IsPlugged() const;   // running and not unplugged

    int ComNumber() const;
    std::string SlavePath() const;   // the tty behind COM<n>
    std::string LinkPath() const;    // the COM<n> link in the port directory

    Registers GetRegisters() const;
    void SetRegisters(const Registers& registers);
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;

    // Every frame received so far, in order. An exchange is entered when the
    // adapter has decided it: just before its reply is written (so a tool
    // that has the reply finds it logged; a write that then fails turns it
    // into unanswered), or when the reply is dropped or withheld. A held
    // reply (delay, wire time) enters when its time is up.
    std::vector<Exchange> Log() const;
    void ClearLog();
    // Blocks until the log holds at least `count` exchanges or `timeoutMs`
    // passed; true when it does.
    bool WaitForRequests(std::size_t count, std::uint32_t timeoutMs) const;

    // The pseudo-terminal hangs up, like an adapter pulled from the USB port.
    void Unplug();
    // A new pseudo-terminal under the same COM number, like plugging it back
    // (unplugging first when still plugged in). The pending serial rate takes
    // effect.
    bool Replug(std::string* error = nullptr);

    // Called with a readable line for every exchange and for the adapter's
    // own events (ignored bytes, rate changes, unplug and replug): on the
    // adapter's thread, and for unplug and replug on the caller's. The sink
    // must not call Stop, Unplug or Replug.
    void SetLogSink(std::function<void(const std::string&)> sink);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The readable line the log shows for one exchange, e.g.
// "write REG_CAN_BAUD 250000 (Dlc 4) -> 250000 (Dlc 4)" or
// "read 0x1FFFEC0 -> no reply (unknown register)".
std::string Describe(const Exchange& exchange);

// The name of a register identifier ("REG_FILTER_3"), or its hexadecimal
// value when it is none.
std::string RegisterName(std::uint32_t id);

}  // namespace tavrol::sim
