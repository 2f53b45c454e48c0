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

#include "faults.h"
#include "log_text.h"
#include "register_rules.h"

namespace tavrol::sim {

struct Options {
    int com = 0;                         // COM number to register; 0 = lowest free
    std::uint32_t serialRate = 115200;   // the adapter's serial rate at start
    Identifier cpuid = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x3b};
    std::string portDirectory;           // empty = the default port directory
    Faults faults;
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

    // The COM<n> link goes while the adapter stays plugged in, as when a user
    // deletes it: a port the tool holds open keeps working, the port list no
    // longer shows it. Only the adapter's own link is removed; nothing happens
    // while unplugged.
    void RemoveComLink();
    // COM<n> -> the current slave again, as when a user re-creates the link.
    // true when the link is there (already or now). false with a reason when
    // the adapter is not plugged in or the name is taken: a link to a live
    // device, or anything that is not a link. A dangling link is replaced, as
    // at Start.
    bool RestoreComLink(std::string* error = nullptr);

    // Called with a readable line for every exchange and for the adapter's
    // own events (ignored bytes, rate changes, unplug and replug, the link
    // removed and restored): on the adapter's thread, and for the unplug,
    // replug and link events on the caller's. The sink must not call Stop,
    // Unplug, Replug, RemoveComLink or RestoreComLink.
    void SetLogSink(std::function<void(const std::string&)> sink);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavrol::sim
