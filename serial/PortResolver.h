#pragma once

#include <QList>
#include <QString>
#include <functional>

// Where a port number leads: a device, or why there is none.
struct ResolvedPort {
    QString device;  // empty when `problem` is set
    QString problem; // "line 7 of FILE cannot be read, so its device is unknown"
    bool ok() const { return problem.isEmpty(); }
};

// Maps the port number the operator types to a device: the [Ports] entry COM<N> of the settings
// file when there is one (a USB adapter, a /dev/serial/by-id link, a pseudo-terminal), else
// /dev/ttyS<N-1> — but only when the map could be read whole: a number whose entry may be on a line
// that cannot be read leads nowhere rather than to a guessed device.
ResolvedPort resolvePortDevice(int number);

using PortResolver = std::function<ResolvedPort(int)>;

// The settings file that holds the [Ports] map, and the numbers it maps (valid ones, ascending).
QString portMapFile();
QList<int> mappedPortNumbers();

// Port numbers the operator may use: 1 up to the largest 16-bit value.
inline constexpr int MinPortNumber = 1;
inline constexpr int MaxPortNumber = 32767;

// "COM0: not a valid port number (1 to 32767)"
QString invalidPortNumberText(int number);
