#pragma once

#include "serial/SerialDevices.h"

#include <QString>

// What --list-ports prints: the serial devices present (stable /dev/serial/by-id names with their
// nodes first) and where each [Ports] entry of the settings file leads.
QString portListing(const QList<SerialDevice> &devices = listSerialDevices());
