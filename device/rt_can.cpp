#include "rt_can.h"

#include <chrono>
#include <cstring>

namespace tavrol {

RT_CAN::RT_CAN(std::unique_ptr<SerialPort> port, PortResolver* ports) : RT_COM(4096, std::move(port), ports) {}

// The reader thread uses the events and slots: stop it before they go.
RT_CAN::~RT_CAN() { Close(); }

std::uint32_t RT_CAN::RegisterSize(std::uint32_t id) { return RegisterSizeOf(id); }

void RT_CAN::OnFrame(const std::uint8_t* data, std::uint32_t length) {
    if (length != kCanMessageSize) return;
    if (data[13] == KIND_CONFIG) {
        {
            std::lock_guard<std::mutex> lock(slotMutex_);
            lastReply_ = FromBytes(data);
            replyTaken_ = false;
        }
        ReplyEvent.Set();
        // Give the waiter the chance to take this reply before a further one
        // could overwrite it; bounded, so the reader never hangs on the UI.
        std::unique_lock<std::mutex> lock(slotMutex_);
        takenCv_.wait_for(lock, std::chrono::milliseconds(replyPauseMs_), [this] { return replyTaken_; });
        return;
    }
    {
        std::lock_guard<std::mutex> lock(slotMutex_);
        lastMessage_ = FromBytes(data);
    }
    MessageEvent.Set();
    RT_COM::OnFrame(data, length);
}

void RT_CAN::OnPortLost() {
    RT_COM::OnPortLost();
    ReplyEvent.Set();
}

CanMessage RT_CAN::LastReply() const {
    std::lock_guard<std::mutex> lock(slotMutex_);
    return lastReply_;
}

CanMessage RT_CAN::LastMessage() const {
    std::lock_guard<std::mutex> lock(slotMutex_);
    return lastMessage_;
}

int RT_CAN::SendAndWait(const CanMessage& request, std::uint32_t timeout) {
    // On a lost port no reply can come: fail at once instead of waiting.
    if (PortLost()) return CFG_FAIL;
    const CanMessageBytes bytes = ToBytes(request);
    {
        // A reply that came before this request is not this request's.
        std::lock_guard<std::mutex> lock(slotMutex_);
        replyTaken_ = true;
    }
    takenCv_.notify_all();
    ReplyEvent.Reset();
    if (SendFrame(bytes.data(), kCanMessageSize, INFINITE) == 0) return CFG_FAIL;
    if (!ReplyEvent.Wait(timeout)) return CFG_TIMEOUT;
    {
        std::lock_guard<std::mutex> lock(slotMutex_);
        // Woken by the loss of the port, with no reply since the request.
        if (replyTaken_ && PortLost()) return CFG_FAIL;
        takenReply_ = lastReply_;
        replyTaken_ = true;
    }
    takenCv_.notify_all();
    return CFG_OK;
}

int RT_CAN::RequestRead(std::uint32_t id, std::uint32_t timeout) {
    CanMessage m;  // the data bytes of a read carry nothing; they go out as zeros
    m.Id = id;
    m.Dlc = 8;
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    m.Remote = 1;
    return SendAndWait(m, timeout);
}

int RT_CAN::RequestWrite(std::uint32_t id, const void* value, std::uint32_t length, std::uint32_t timeout) {
    if (value == nullptr || length > 8) return CFG_BAD_ARG;
    CanMessage m;
    m.Id = id;
    std::memcpy(m.Data, value, length);
    m.Dlc = static_cast<std::uint8_t>(length);
    m.Kind = KIND_CONFIG;
    m.Extended = 1;
    m.Remote = 0;
    return SendAndWait(m, timeout);
}

int RT_CAN::CheckArguments(std::uint32_t id, const void* buffer, const std::uint32_t* length,
                           std::uint32_t* size) {
    *size = RegisterSize(id);
    if (buffer == nullptr || length == nullptr) return CFG_BAD_ARG;
    if (*length < *size) return CFG_BAD_ARG;
    if (*size == 0) return CFG_BAD_ARG;
    return 0;
}

int RT_CAN::ReadRegister(std::uint32_t id, void* buffer, std::uint32_t* length, std::uint32_t timeout) {
    std::uint32_t n = 0;
    if (const int refused = CheckArguments(id, buffer, length, &n)) return refused;
    *length = n;
    const int r = RequestRead(id, timeout);
    if (r != CFG_OK) return r;
    if (takenReply_.Id != id) return CFG_FAIL;
    std::memcpy(buffer, takenReply_.Data, n);
    return CFG_OK;
}

int RT_CAN::WriteRegister(std::uint32_t id, const void* value, std::uint32_t* length, std::uint32_t timeout) {
    std::uint32_t n = 0;
    if (const int refused = CheckArguments(id, value, length, &n)) return refused;
    *length = n;
    return RequestWrite(id, value, n, timeout);
}

}  // namespace tavrol
