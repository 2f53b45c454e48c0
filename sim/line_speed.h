// Line settings of a tty through termios2, so any bit rate can be set and
// read exactly. Kept apart from <termios.h>, whose definitions clash with the
// kernel's.
#pragma once

#include <cstdint>

namespace tavrol::sim {

// Raw 8N1 transfer at `rate` bit/s, both directions: no echo, no line
// editing, no signals, no translation, no flow control; reads return as soon
// as one byte is there. false with errno set on failure.
bool SetRawLine(int fd, std::uint32_t rate);

// Puts the line in raw mode and keeps its speed.
bool SetRawKeepSpeed(int fd);

// The output speed of the line behind `fd`, 0 when it cannot be read. On a
// pseudo-terminal's master this reads the slave's settings, which is what
// the side that opened the slave has set.
std::uint32_t LineSpeed(int fd);

}  // namespace tavrol::sim
