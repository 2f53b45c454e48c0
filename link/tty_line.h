// Line settings of a tty by descriptor, for code that holds a terminal of its
// own (the virtual adapter's pseudo-terminal). Uses the same raw settings as
// the serial port, through termios2 so any bit rate is set and read exactly.
#pragma once

#include <cstdint>

namespace tavrol {

// Raw 8N1 transfer at `rate` bit/s in both directions: no echo, no line
// editing, no signals, no translation, no flow control. false with errno set.
bool SetRawLine(int fd, std::uint32_t rate);

// Puts the line in raw mode and keeps its speed.
bool SetRawKeepSpeed(int fd);

// The output speed of the line behind `fd`, 0 when it cannot be read. On a
// pseudo-terminal's master this reads the slave's settings, which is what
// the side that opened the slave has set.
std::uint32_t LineSpeed(int fd);

}  // namespace tavrol
