#pragma once

#include <QString>

// A USB serial adapter of the FTDI kind holds what it receives until its latency timer runs out
// (16 ms unless told otherwise) before passing it to the host: every one-byte answer of the
// bootloader waits that long. Asking the driver for low latency usually sets the timer to 1 ms;
// where it did not, the timer is set here when the sysfs attribute may be written, and otherwise
// the operator is told what it costs and how to fix it.
//
// Returns that advice for `device` (a node or a link to one), or nothing: no timer (a built-in
// port, a pseudo-terminal, another driver), one at 1 ms, or one just set to 1 ms. `sysRoot` is
// normally /sys.
QString lowerLatencyTimer(const QString &device, const QString &sysRoot = QStringLiteral("/sys"));
