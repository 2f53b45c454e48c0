// The operations the serial link needs of a serial port. The link is written
// against this interface only; each platform supplies one implementation
// (POSIX here), and tests use a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

// Read and write time-outs in milliseconds, with the meaning of the classic
// serial driver: a read ends when `readInterval` passes between two bytes, or
// at the latest after readMultiplier * requested + readConstant; with interval
// and multiplier both INFINITE and a finite constant, a read returns as soon
// as bytes are there and waits at most the constant for the first. A write of
// k bytes ends after writeMultiplier * k + writeConstant.
struct PortTimeouts {
    std::uint32_t readInterval = 1;
    std::uint32_t readMultiplier = 1;
    std::uint32_t readConstant = 1;
    std::uint32_t writeMultiplier = 1000;
    std::uint32_t writeConstant = 50000;
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens `device` for reading and writing, exclusively: a second opener
    // fails. false with LastError() set on failure.
    virtual bool Open(const std::string& device) = 0;
    // Ends transfers in progress and empties both queues.
    virtual void Purge() = 0;
    // Driver queue sizes; false when the driver refuses them.
    virtual bool SetQueueSizes(std::uint32_t input, std::uint32_t output) = 0;
    virtual bool GetSettings(LineSettings& settings) = 0;
    // Applies the settings as raw 8-bit transfer: no flow control, no echo,
    // no line editing and no character translation.
    virtual bool SetSettings(const LineSettings& settings) = 0;
    virtual void SetTimeouts(const PortTimeouts& timeouts) = 0;
    // Reads up to `capacity` bytes within the read time-outs. Returns the count
    // (0 when nothing came), or -1 on an error, with LastError() set.
    virtual int Read(std::uint8_t* buffer, std::size_t capacity) = 0;
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
