// The operations the serial link needs of a serial port. The link is written
// against this interface only; each platform supplies one implementation, and
// tests use a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "port_catalog.h"

namespace tavrol {

inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;

// Line settings the link reads, changes and writes back. Fields the link does
// not set keep what the port reported.
struct LineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0;    // 0 = none
    std::uint8_t stopBits = 0;  // 0 = one stop bit
};

// The driver's write time-out in milliseconds: a write of k bytes ends after
// writeMultiplier * k + writeConstant. Reads wait for data without a limit
// (see Read).
struct PortTimeouts {
    std::uint32_t writeMultiplier = 1000;
    std::uint32_t writeConstant = 50000;
};

// How a read ended.
enum class ReadStatus {
    Data,     // `count` bytes arrived
    Stopped,  // StopReading was called
    Lost,     // the port hung up or its device is gone; no later read will give data
    Failed,   // another error; LastError() says which
};

struct ReadResult {
    ReadStatus status = ReadStatus::Failed;
    int count = 0;
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens the target for reading and writing, exclusively: a second opener
    // fails. Only a character device is opened; anything else is refused
    // without being touched. false with LastError() set on failure (errno:
    // ENOTTY for what is no serial device, EBUSY when another program holds
    // the port, ENOENT, EACCES and the like as the system gives them).
    virtual bool Open(const PortTarget& target) = 0;
    // Ends transfers in progress and empties both queues.
    virtual void Purge() = 0;
    // Driver queue sizes; false when the driver refuses them.
    virtual bool SetQueueSizes(std::uint32_t input, std::uint32_t output) = 0;
    virtual bool GetSettings(LineSettings& settings) = 0;
    // Applies the settings as raw 8-bit transfer: no flow control, no echo,
    // no line editing, no character translation, modem lines ignored.
    virtual bool SetSettings(const LineSettings& settings) = 0;
    virtual void SetTimeouts(const PortTimeouts& timeouts) = 0;
    // Waits, without a time limit and without waking in between, until bytes
    // arrive, the port is lost, or StopReading is called; then reads up to
    // `capacity` bytes of what is there.
    virtual ReadResult Read(std::uint8_t* buffer, std::size_t capacity) = 0;
    // Ends a Read in progress, and every later one, with Stopped until the
    // port is opened again. Any thread may call it while the port is open.
    virtual void StopReading() = 0;
    // Writes `count` bytes; the wait for completion lasts at most `timeoutMs`
    // (INFINITE: until the driver's own write time-out). Returns the bytes
    // written by then, or -1 on an error, with LastError() set.
    virtual int Write(const std::uint8_t* buffer, std::size_t count, std::uint32_t timeoutMs) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // The system's error code of the last failed operation (errno here).
    virtual int LastError() const = 0;
};

// The serial port of the platform the program was built for.
std::unique_ptr<SerialPort> CreateSystemSerialPort();

}  // namespace tavrol
