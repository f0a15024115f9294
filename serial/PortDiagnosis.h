#pragma once

#include "serial/SerialControl.h"
#include "serial/SerialDevices.h"

#include <QList>
#include <QString>
#include <optional>

// What the operator is told when a port does not open: the cause, from the failure's kind, and
// what to do about it. The system's folders are parameters, so that tests run on scratch ones.
struct SystemFolders {
    QString dev = QStringLiteral("/dev");
    QString sys = QStringLiteral("/sys");
    QString proc = QStringLiteral("/proc");
    // Put in front of /run/lock, /var/lock, /usr/bin and the udev rule folders.
    QString root;
};

// The process holding the lock file that serial programs (QSerialPort, minicom...) take for
// `device`: the pid in the first lock file whose process is running and is not this one.
std::optional<qint64> lockHolder(const QString &device, const SystemFolders &folders = {});

// Another program that has `device` open, as /proc tells: the holder of its lock file, else a
// process with a descriptor on it. Processes of other users are hidden from an ordinary user.
struct PortOwner {
    qint64 pid = 0;
    QString program;
    bool operator==(const PortOwner &) const = default;
};
std::optional<PortOwner> portOwner(const QString &device, const SystemFolders &folders = {});
// Every other process that has `device` open, lowest pid first.
QList<PortOwner> otherHolders(const QString &device, const SystemFolders &folders = {});
// What the log says of them: each will take part of what the board sends (ModemManager with its
// own fix). Empty when there are none.
QString sharedPortNote(const QString &device, const QList<PortOwner> &holders);

// Whether brltty is installed: its udev rules take USB serial adapters for braille displays.
bool brlttyInstalled(const SystemFolders &folders = {});

// A front end's own words for the two things a note may ask of the operator.
struct FrontEndWords {
    QString chooseDevice; // "Right-click the port number to choose one."
    QString tryAgain;     // "press Connect again"
};

// A followed port: gone and waited for, and back. The first time a bare ttyUSB or ttyACM node
// goes, the note says that a board that comes back under another name cannot be followed.
// `beforeFirstLine`: it went after the board's prompt but before any line of the file was sent.
QString portAwayNote(const QString &device, const FrontEndWords &words, bool firstTime,
                     bool beforeFirstLine = false);
QString portBackNote(const QString &device);

// The one note for a port that did not open: its cause and its fix. `portNumber` is 0 when the
// device was given by its path; `present` are the serial devices there are. Empty for a port
// number the serial layer cannot take: the failure's description says all there is.
QString openFailureNote(const SerialStatus &failure, int portNumber, const QString &device,
                        const FrontEndWords &words, const QList<SerialDevice> &present,
                        const SystemFolders &folders = {});
