// The configuration channel: register reads and writes as request/reply
// transactions over the serial link.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "can_message.h"
#include "event.h"
#include "registers.h"
#include "rt_com.h"

namespace tavrol {

inline constexpr int CFG_FAIL = 0;
inline constexpr int CFG_OK = 1;
inline constexpr int CFG_TIMEOUT = 2;
inline constexpr int CFG_BAD_ARG = 4;

class RT_CAN : public RT_COM {
public:
    explicit RT_CAN(std::unique_ptr<SerialPort> port = CreateSystemSerialPort(), PortResolver* ports = nullptr);
    ~RT_CAN() override;

    void OnFrame(const std::uint8_t* data, std::uint32_t length) override;
    // Ends a transaction that waits for its reply: none can come any more.
    void OnPortLost() override;
    virtual std::uint32_t RegisterSize(std::uint32_t id);

    int RequestRead(std::uint32_t id, std::uint32_t timeout);
    int RequestWrite(std::uint32_t id, const void* value, std::uint32_t length, std::uint32_t timeout);
    // `length` holds the buffer's capacity on entry and the register's size on
    // return (from the point the request is sent).
    int ReadRegister(std::uint32_t id, void* buffer, std::uint32_t* length, std::uint32_t timeout);
    int WriteRegister(std::uint32_t id, const void* value, std::uint32_t* length, std::uint32_t timeout);

    // Copies of the last configuration reply and the last ordinary message.
    CanMessage LastReply() const;
    CanMessage LastMessage() const;

protected:
    // The reader rests at most this long after handing over a reply, until
    // the waiting transaction has taken it, before it decodes further bytes.
    // Only the fuzzing harness shortens it.
    std::uint32_t replyPauseMs_ = 1;

    AutoResetEvent ReplyEvent;    // set after a configuration reply is stored
    AutoResetEvent MessageEvent;  // set after an ordinary message is stored; nothing waits

private:
    int SendAndWait(const CanMessage& request, std::uint32_t timeout);
    // Checks shared by ReadRegister and WriteRegister; 0 when they pass.
    int CheckArguments(std::uint32_t id, const void* buffer, const std::uint32_t* length, std::uint32_t* size);

    // Guards the two slots so a waiter never sees a half-written reply.
    mutable std::mutex slotMutex_;
    CanMessage lastReply_;
    CanMessage lastMessage_;
    // The reader's pause after a reply ends early once the waiting
    // transaction has taken its copy.
    std::condition_variable takenCv_;
    bool replyTaken_ = true;
    CanMessage takenReply_;  // what the last completed wait took; UI thread only
};

}  // namespace tavrol
