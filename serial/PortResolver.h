#pragma once

#include <QString>
#include <functional>

// Maps the port number the operator types to a device: the [Ports] entry COM<N> of the settings file
// when there is one (a USB adapter, a /dev/serial/by-id link, a pseudo-terminal), else /dev/ttyS<N-1>.
QString resolvePortDevice(int number);

using PortResolver = std::function<QString(int)>;

// Port numbers the operator may use: 1 up to the largest 16-bit value.
inline constexpr int MinPortNumber = 1;
inline constexpr int MaxPortNumber = 32767;
