#pragma once

#include <QList>
#include <QString>
#include <functional>

// Maps the port number the operator types to a device: the [Ports] entry COM<N> of the settings
// file when there is one (a USB adapter, a /dev/serial/by-id link, a pseudo-terminal), else
// /dev/ttyS<N-1>.
QString resolvePortDevice(int number);

using PortResolver = std::function<QString(int)>;

// The settings file that holds the [Ports] map, and the numbers it maps (valid ones, ascending).
QString portMapFile();
QList<int> mappedPortNumbers();

// Port numbers the operator may use: 1 up to the largest 16-bit value.
inline constexpr int MinPortNumber = 1;
inline constexpr int MaxPortNumber = 32767;
