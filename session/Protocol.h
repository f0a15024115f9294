#pragma once

#include <QByteArray>
#include <QVariant>
#include <optional>

// Every byte that crosses the line between this tool and the device's bootloader. See
// docs/protocol.md for a run on the wire.
namespace Protocol {

// Sent by the tool.
inline constexpr char RestartProbe = 'i'; // every 5 ms while the device restarts
inline constexpr char FileCommand = 'f';  // once, 333 ms after the boot prompt
inline constexpr char GoCommand = 'g';    // by hand only
inline constexpr char LineEnd = '\n';     // after every file line

// Recognised from the device, one character at a time, case-sensitive.
inline constexpr char BootPrompt = '>';  // in WaitBootPrompt
inline constexpr char FileRequest = '_'; // in WaitFileRequest
inline constexpr char LineAck = '.';     // in SendingFile
inline constexpr char Programmed = 'P';  // in SendingFile

inline constexpr int MaxPacketData = 255;

// The framed packet: cmd, length, data..., cmd XOR 0xFF. `data` is a list of numbers, or anything
// else for no data. No value when the packet cannot be framed (more than 255 data bytes, a value
// outside 0..255, a value that is not a number): then nothing at all must be written.
std::optional<QByteArray> framePacket(quint8 cmd, const QVariant &data);

} // namespace Protocol
