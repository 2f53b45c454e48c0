// What the window says about a serial port: an item's tooltip and why the
// port did not open.
#pragma once

#include <QString>

#include "port_catalog.h"

// The device behind a port-list item, and the USB device when the system
// names it: "/dev/ttyUSB0 — USB Serial (1a86:7523, A50285BI)".
QString PortTooltip(const tavrol::PortEntry& entry);

// The second paragraph of the open-failure box: why opening `device` failed
// with the system error `error`, in the user's words for the common causes,
// otherwise the path, a colon and the system's text.
QString OpenFailureReason(int error, const QString& device);
