#pragma once

#include <QString>
#include <optional>

// The one setting that outlives a run (the port number) lives in a small INI file. The routines
// keep the registry-shaped signature the window was written against: a root, a key path and a value
// name.
//
// Root HKEY_LOCAL_MACHINE with path "Software\Tarnix\Settings" is the file Tarnix/Settings.ini
// under the user's configuration folder ($XDG_CONFIG_HOME, else ~/.config); the value name is the
// key.
namespace ModuleReg {

using RootKey = unsigned int;
inline constexpr RootKey HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr RootKey HKEY_CURRENT_USER = 0x80000001u;

inline constexpr const char *SettingsPath = "Software\\Tarnix\\Settings";
inline constexpr const char *ComPortValue = "ComPort";

// The INI file that holds the keys of `root` + `path` (empty when the path names no file).
QString settingsFileFor(RootKey root, const QString &path);

// The stored text, or no value when the file, the group or the key is missing, or the file cannot
// be read. The text ends at its first NUL character.
std::optional<QString> ReadRegString(RootKey root, const QString &path, const QString &name);

// Stores `text`, creating the file and its folders when missing and keeping every other entry.
// Reports nothing: a file that cannot be written, or one that does not parse, is left as it was.
void WriteRegString(RootKey root, const QString &path, const QString &name, const QString &text);

// The device path mapped to port number `number` in the [Ports] group (key COM<number>), if any.
std::optional<QString> mappedPortDevice(int number);

// Maps port number `number` to `device` (the [Ports] entry COM<number>), keeping every other entry.
// False, with the file left as it was, when it cannot be written or does not parse.
bool mapPortDevice(int number, const QString &device);

} // namespace ModuleReg
