// The counting and number reading of the serial port enumeration, over a
// sequence of device texts such as "COM3", one per serial device.
#pragma once

#include <string>
#include <vector>

namespace tavrol {

// Returns the number of texts examined (at most 32767); where `out` is not
// null, stores the number read from each non-empty text's fourth character
// on (as atol reads it, saturating at the int range) at its index below
// `capacity`. A text of three characters or fewer gives 0.
int EnumerateDeviceTexts(const std::vector<std::string>& texts, int* out, int capacity);

}  // namespace tavrol
