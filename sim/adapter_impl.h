// What the virtual adapter holds, shared by its answering thread
// (adapter_line.cpp) and its life and accessors (virtual_adapter.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "frame_codec.h"
#include "pseudo_terminal.h"
#include "virtual_adapter.h"

namespace tavrol::sim {

using Clock = std::chrono::steady_clock;

struct VirtualAdapter::Impl {
    explicit Impl(Options o) : options(std::move(o)), faults(options.faults), rng(std::random_device{}()) {
        registers.serialRate = options.serialRate;
        registers.pendingSerialRate = options.serialRate;
    }

    // What a reply needs from the locked state, taken in one go.
    struct Decision {
        bool reply = false;
        CanMessage message;
        Faults faults;
        bool drop = false;
        std::uint32_t serialRate = 0;
    };

    void Emit(const std::string& line);
    void Wake();
    bool Sleep(Clock::time_point until);
    bool WriteAll(const std::uint8_t* data, std::size_t count);
    std::uint32_t CheckLineSpeed();
    void Run();
    void ReadChunk(FrameDecoder& decoder);
    void HandleFrame(const std::uint8_t* payload, std::uint32_t length);
    Decision Decide(Exchange& exchange);
    // true when it has entered the exchange in the log itself.
    bool Answer(Exchange& exchange, Decision& decision);
    bool WriteReply(const ShapedReply& reply);
    struct LogSlot {
        std::uint64_t generation;
        std::size_t index;
    };
    LogSlot AddToLog(const Exchange& exchange);
    void UpdateLog(LogSlot slot, const Exchange& exchange);
    void SendTraffic();
    bool OpenTerminal(std::string* error);
    bool RegisterLink(int wanted, std::string* error);
    bool RemoveLink();  // true when it removed our link
    bool StartThread(std::string* error);
    void StopThread();
    // Ends the thread and closes the terminal; `why` is what an exchange cut
    // short is told.
    void UnplugLocked(const char* why);

    const Options options;

    // Guards everything below up to the thread's own state.
    mutable std::mutex mutex;
    mutable std::condition_variable logChanged;
    Registers registers;
    Faults faults;
    std::vector<Exchange> log;
    std::uint64_t logGeneration = 0;     // counts ClearLog calls
    std::function<void(const std::string&)> sink;
    std::string portDirectory;
    int com = 0;
    std::string slavePath;
    std::string linkPath;
    bool running = false;
    bool plugged = false;
    int wakeFd = -1;
    DropCounter dropCounter;

    // Serialises Start, Stop, Unplug, Replug and the link's removal and
    // restoring.
    std::mutex lifeMutex;

    // Owned by the adapter thread while it runs; touched by the others only
    // while it does not.
    PseudoTerminal terminal;
    std::thread thread;
    std::atomic<bool> stopThread{false};
    std::atomic<const char*> stopReason{"stopped"};
    std::mt19937 rng;
    std::uint32_t trafficCount = 0;
};

}  // namespace tavrol::sim
