#pragma once

#include <QString>

// What --list-ports prints: the serial devices present, the /dev/serial/by-id links and where each
// [Ports] entry of the settings file leads.
QString portListing();
