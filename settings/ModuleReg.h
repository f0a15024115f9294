#pragma once

#include <QList>
#include <QString>
#include <optional>

// The one setting that outlives a run (the port number) lives in a small INI file. The routines
// keep the registry-shaped signature the window was written against: a root, a key path and a value
// name.
//
// Root HKEY_LOCAL_MACHINE with path "Software\Tarnix\Settings" is the file Tarnix/Settings.ini
// under the user's configuration folder ($XDG_CONFIG_HOME, else ~/.config); the value name is a key
// of its [General] group, and the [Ports] group maps port numbers to devices. The file is read as a
// person wrote it (see settings/IniFile.h) and a write changes nothing but the value it sets.
namespace ModuleReg {

using RootKey = unsigned int;
inline constexpr RootKey HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr RootKey HKEY_CURRENT_USER = 0x80000001u;

inline constexpr const char *SettingsPath = "Software\\Tarnix\\Settings";
inline constexpr const char *ComPortValue = "ComPort";

// The INI file that holds the keys of `root` + `path` (empty when the path names no file).
QString settingsFileFor(RootKey root, const QString &path);
// The file of HKEY_LOCAL_MACHINE "Software\Tarnix\Settings", with the [Ports] map.
QString settingsFile();

// The stored text, or no value when the file or the key is missing, or the file cannot be read.
// The text ends at its first NUL character.
std::optional<QString> ReadRegString(RootKey root, const QString &path, const QString &name);

// A whole number of the settings file's [General] group from `low` to `high`: nothing when the key
// is missing or unusable, and then `problem` (when given) says what is wrong with a value that is
// there ("FinalWait=abc in FILE is not a number from 1 to 3600").
std::optional<int> ReadGeneralNumber(const QString &name, int low, int high,
                                     QString *problem = nullptr);

// A switch of the settings file: `name` in `group` ("Journal" in [History]) as true/false, yes/no,
// on/off or 1/0; `fallback` when it is missing or unusable, and then `problem` (when given) says
// what is wrong with a value that is there.
bool ReadSettingSwitch(const QString &group, const QString &name, bool fallback,
                       QString *problem = nullptr);

// Stores `text`, creating the file and its folders when missing and keeping every other byte of
// the file. Reports nothing: a file that cannot be read or written is left as it was.
void WriteRegString(RootKey root, const QString &path, const QString &name, const QString &text);

// Where a port number leads according to [Ports].
struct PortMapping {
    enum class State {
        Unmapped,   // no entry, and nothing in the way of knowing it
        Mapped,     // `device`
        Unreadable, // the file, or the entry, cannot be read: `reason` tells which
    };
    State state = State::Unmapped;
    QString device;
    QString reason; // "the port map in FILE cannot be read: ..."
};
PortMapping portMapping(int number);

// The port numbers [Ports] maps (keys COM<N>), ascending.
QList<int> mappedPortNumbers();

// Maps port number `number` to `device` (the [Ports] entry COM<number>), keeping every other byte.
// False, with the file left as it was, when it cannot be read or written.
bool mapPortDevice(int number, const QString &device);

// A line of the settings file that is not understood, as the operator is told of it:
// "FILE, line 7: "COM9 /dev/ttyUSB0" is not a name=value setting; it is ignored".
struct UnreadableLine {
    QString file;
    int line = 0;
    QString text;
    QString reason;
    QString describe() const;
    bool operator==(const UnreadableLine &) const = default;
};
QList<UnreadableLine> unreadableLines();

} // namespace ModuleReg
