// The window's configuration channel: the channel, plus word to the window
// when the port hangs up.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "rt_can.h"

class WindowChannel : public tavrol::RT_CAN {
public:
    explicit WindowChannel(tavrol::PortResolver* ports) : RT_CAN(tavrol::CreateSystemSerialPort(), ports) {}

    // `notice` runs on the reader thread, once per hang-up; it must only hand
    // the news over to the UI thread. Set before the first Open.
    void SetPortLostNotice(std::function<void()> notice) { notice_ = std::move(notice); }

    void OnPortLost() override {
        RT_CAN::OnPortLost();
        if (notice_) notice_();
    }

private:
    std::function<void()> notice_;
};
