// tavrolctl list: the ports as the window lists them. Opens nothing.
#pragma once

#include <cstdio>
#include <vector>

#include "port_catalog.h"

namespace tavrol::cli {

// Writes the listing as text or as one JSON object per port per line.
void WritePortList(const std::vector<PortEntry>& ports, bool json, std::FILE* out);

}  // namespace tavrol::cli
