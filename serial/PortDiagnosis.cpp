#include "serial/PortDiagnosis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

QString identity(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
}

// The lock file's name as QSerialPort spells it: the path less "/dev/", slashes made "_".
QString lockName(const QString &path, const SystemFolders &folders) {
    const QString dev = folders.dev + QLatin1Char('/');
    QString name = path.startsWith(dev) ? path.mid(dev.size()) : path;
    return QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

// The name the program was started by; the kernel's name of the process (cut at 15 characters)
// where that is not known.
QString programName(qint64 pid, const SystemFolders &folders) {
    const QString base = folders.proc + QLatin1Char('/') + QString::number(pid);
    QFile cmdline(base + QStringLiteral("/cmdline"));
    if (cmdline.open(QIODevice::ReadOnly))
        if (const QByteArray first = cmdline.read(4096).split('\0').value(0); !first.isEmpty())
            return QFileInfo(QString::fromLocal8Bit(first)).fileName();
    QFile comm(base + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly))
        if (const QString name = QString::fromLocal8Bit(comm.readAll()).trimmed(); !name.isEmpty())
            return name;
    return QStringLiteral("a program");
}

bool running(qint64 pid, const SystemFolders &folders) {
    return pid > 0 && pid != ::getpid() &&
           QFileInfo::exists(folders.proc + QLatin1Char('/') + QString::number(pid));
}

QString userName() {
    if (const passwd *user = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return qEnvironmentVariable("USER", QStringLiteral("$USER"));
}

bool processHasGroup(gid_t group) {
    if (::getegid() == group)
        return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(count, 0), group) !=
           groups.begin() + std::max(count, 0);
}

// Whether the group database lists the user in `group`: then only this session predates it.
bool userListedIn(const group *entry, const QString &user) {
    if (const passwd *account = ::getpwnam(user.toLocal8Bit().constData());
        account && account->pw_gid == entry->gr_gid)
        return true;
    for (char **member = entry->gr_mem; member && *member; ++member)
        if (QString::fromLocal8Bit(*member) == user)
            return true;
    return false;
}

QString permissionFix(const QString &device) {
    const QString user = userName();
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return QStringLiteral("Serial ports belong to the group dialout: sudo adduser %1 dialout, "
                              "then log out and in again.")
            .arg(user);
    const group *entry = ::getgrgid(info.st_gid);
    const QString name =
        entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(info.st_gid);
    const QString mode = QStringLiteral("0%1").arg(info.st_mode & 0777, 3, 8, QLatin1Char('0'));
    const QString udevRule = QStringLiteral("a udev rule must give it to the group dialout "
                                            "(GROUP=\"dialout\", MODE=\"0660\"), then plug the "
                                            "adapter in again.");
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return QStringLiteral("Not even its group %1 may read and write it (mode %2): ")
                   .arg(name, mode) +
               udevRule;
    if (info.st_gid == 0)
        return QStringLiteral("It belongs to the group root: ") + udevRule;
    if (processHasGroup(info.st_gid))
        return QStringLiteral("Its group %1 is this program's too, so something else refuses it "
                              "(an access list, a sandbox).")
            .arg(name);
    if (entry && userListedIn(entry, user))
        return QStringLiteral("%1 was put in its group %2 after this session began: log out and "
                              "in again.")
            .arg(user, name);
    return QStringLiteral("It belongs to the group %1, which %2 is not in: sudo adduser %2 %1, "
                          "then log out and in again.")
        .arg(name, user);
}

bool looksUsb(const QString &device) {
    const QString name = QFileInfo(device).fileName();
    return name.startsWith(QStringLiteral("ttyUSB")) || name.startsWith(QStringLiteral("ttyACM")) ||
           device.contains(QStringLiteral("/serial/by-id/")) ||
           device.contains(QStringLiteral("/serial/by-path/"));
}

} // namespace

std::optional<qint64> lockHolder(const QString &device, const SystemFolders &folders) {
    // Qt's own list of lock folders, in its order.
    static const char *const Folders[] = {"/var/lock",         "/etc/locks", "/var/spool/locks",
                                          "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                          "/var/lock/lockdev", "/run/lock"};
    QStringList names = {lockName(device, folders)};
    if (const QString node = identity(device); lockName(node, folders) != names.first())
        names << lockName(node, folders);
    for (const char *folder : Folders) {
        for (const QString &name : names) {
            QFile lock(folders.root + QString::fromLatin1(folder) + QLatin1Char('/') + name);
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            // "1234\nprogram\nhost\n" (Qt) or "      1234\n" (UUCP style).
            const QByteArray first = lock.read(64).trimmed().split('\n').value(0).trimmed();
            bool ok = false;
            const qint64 pid = first.toLongLong(&ok);
            if (ok && running(pid, folders))
                return pid;
        }
    }
    return std::nullopt;
}

namespace {

// The other processes with a descriptor on `device`, lowest pid first; the first only when `first`.
QList<PortOwner> descriptorHolders(const QString &device, const SystemFolders &folders,
                                   bool first) {
    const QString target = identity(device);
    const QDir proc(folders.proc);
    QList<qint64> pids;
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok && pid != ::getpid())
            pids << pid;
    }
    std::sort(pids.begin(), pids.end());
    QList<PortOwner> holders;
    for (const qint64 pid : pids) {
        const QDir fds(proc.filePath(QString::number(pid)) + QStringLiteral("/fd"));
        for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            const QString opened = QFileInfo(fds.filePath(fd)).symLinkTarget();
            if (!opened.isEmpty() && (opened == target || identity(opened) == target)) {
                holders << PortOwner{pid, programName(pid, folders)};
                if (first)
                    return holders;
                break;
            }
        }
    }
    return holders;
}

// The processes holding the master side of pseudo-terminal `index` (/dev/pts/<index>): the program
// playing the device, not another reader. Where the kernel does not say which terminal a master is
// for, every holder of a master counts as such.
QSet<qint64> ptyMasterHolders(int index, const SystemFolders &folders) {
    QSet<qint64> exact;
    QSet<qint64> any;
    const QDir proc(folders.proc);
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        const QString base = proc.filePath(entry);
        const QDir fds(base + QStringLiteral("/fd"));
        for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            const QString opened = QFileInfo(fds.filePath(fd)).symLinkTarget();
            if (opened != QLatin1String("/dev/ptmx") && opened != QLatin1String("/dev/pts/ptmx"))
                continue;
            any.insert(pid);
            QFile info(base + QStringLiteral("/fdinfo/") + fd);
            if (!info.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray &line : info.readAll().split('\n'))
                if (line.startsWith("tty-index:") && line.mid(10).trimmed().toInt() == index)
                    exact.insert(pid);
        }
    }
    return exact.isEmpty() ? any : exact;
}

bool isModemManager(const PortOwner &owner) {
    return owner.program == QLatin1String("ModemManager");
}

// ModemManager opens newly plugged serial ports and sends them modem commands.
QString modemManagerFix() {
    return QStringLiteral("ModemManager sends it modem commands, which a bootloader takes for "
                          "garbage: install the udev rule of the tarnix-pellora package (it tells "
                          "ModemManager to leave the board's port alone) and plug the board in "
                          "again, or stop it: sudo systemctl stop ModemManager");
}

bool bareUsbNode(const QString &device) {
    const QString name = QFileInfo(device).fileName();
    return !device.contains(QStringLiteral("/serial/by-")) &&
           (name.startsWith(QStringLiteral("ttyUSB")) || name.startsWith(QStringLiteral("ttyACM")));
}

} // namespace

std::optional<PortOwner> portOwner(const QString &device, const SystemFolders &folders) {
    // The lock's holder is the one a lock failure is about, whoever else has the device open.
    if (const auto pid = lockHolder(device, folders))
        return PortOwner{*pid, programName(*pid, folders)};
    if (const QList<PortOwner> holders = descriptorHolders(device, folders, true);
        !holders.isEmpty())
        return holders.first();
    return std::nullopt;
}

QList<PortOwner> otherHolders(const QString &device, const SystemFolders &folders) {
    QList<PortOwner> holders = descriptorHolders(device, folders, false);
    // A pseudo-terminal's device end is held by the program playing the device.
    static const QRegularExpression Pty(QStringLiteral("^/dev/pts/([0-9]+)$"));
    if (const QRegularExpressionMatch pty = Pty.match(identity(device));
        pty.hasMatch() && !holders.isEmpty()) {
        const QSet<qint64> playing = ptyMasterHolders(pty.captured(1).toInt(), folders);
        holders.removeIf([&](const PortOwner &owner) { return playing.contains(owner.pid); });
    }
    return holders;
}

QString sharedPortNote(const QString &device, const QList<PortOwner> &holders) {
    QStringList notes;
    for (const PortOwner &owner : holders)
        notes << QStringLiteral("%1 (pid %2) also has %3 open: ")
                         .arg(owner.program)
                         .arg(owner.pid)
                         .arg(device) +
                     (isModemManager(owner)
                          ? modemManagerFix()
                          : QStringLiteral("it will take part of what the board sends; close it"));
    return notes.join(QLatin1Char('\n'));
}

QString portAwayNote(const QString &device, const FrontEndWords &words, bool firstTime,
                     bool beforeFirstLine) {
    QString note =
        QStringLiteral("%1 went away%2: waiting for it to come back")
            .arg(device, beforeFirstLine ? QStringLiteral(" before any line was sent") : QString());
    if (firstTime && bareUsbNode(device))
        note += QStringLiteral(". A board that comes back under another name (the next ttyUSB or "
                               "ttyACM number) cannot be followed: use its stable name in "
                               "/dev/serial/by-id/. ") +
                words.chooseDevice;
    return note;
}

QString portBackNote(const QString &device) {
    return QStringLiteral("%1 is back").arg(device);
}

bool brlttyInstalled(const SystemFolders &folders) {
    for (const char *path :
         {"/usr/bin/brltty", "/bin/brltty", "/usr/lib/udev/rules.d/85-brltty.rules",
          "/lib/udev/rules.d/85-brltty.rules"})
        if (QFileInfo::exists(folders.root + QString::fromLatin1(path)))
            return true;
    return false;
}

QString openFailureNote(const SerialStatus &failure, int portNumber, const QString &device,
                        const FrontEndWords &words, const QList<SerialDevice> &present,
                        const SystemFolders &folders) {
    switch (failure.kind()) {
    case PortFailure::None:
    case PortFailure::InvalidNumber:
        return {};
    case PortFailure::NoPermission:
        return QStringLiteral("%1 cannot be opened: permission denied. ").arg(device) +
               permissionFix(device);
    case PortFailure::InUse:
        if (const auto owner = portOwner(device, folders)) {
            if (isModemManager(*owner))
                return QStringLiteral("%1 is in use by ModemManager (pid %2). ")
                           .arg(device)
                           .arg(owner->pid) +
                       modemManagerFix() + QStringLiteral(", then %1.").arg(words.tryAgain);
            return QStringLiteral("%1 is in use by %2 (pid %3): close that program, then %4.")
                .arg(device, owner->program)
                .arg(owner->pid)
                .arg(words.tryAgain);
        }
        return QStringLiteral("%1 is in use by another program: close it, then %2.")
            .arg(device, words.tryAgain);
    case PortFailure::NotFound: {
        QString note =
            portNumber > 0
                ? QStringLiteral("COM%1 opens %2, which is not there.").arg(portNumber).arg(device)
                : QStringLiteral("%1 is not there.").arg(device);
        QStringList names;
        bool usbPresent = false;
        for (const SerialDevice &each : present) {
            names << each.describe();
            usbPresent = usbPresent || each.kind != SerialDevice::Kind::Builtin;
        }
        if (names.isEmpty())
            note += QStringLiteral(" No serial device is present: plug the adapter in, then %1.")
                        .arg(words.tryAgain);
        else
            note += QStringLiteral(" Serial devices present: %1. ")
                        .arg(names.join(QStringLiteral(", "))) +
                    words.chooseDevice;
        if (looksUsb(device) && !usbPresent && brlttyInstalled(folders))
            note += QStringLiteral(
                " If the adapter was plugged in and vanished at once, brltty took it: its udev "
                "rules claim FTDI, CH340 and CP210x adapters for braille displays. Without a "
                "braille display: sudo apt remove brltty, then plug the adapter in again.");
        return note;
    }
    case PortFailure::UnknownDevice:
        return failure.description() +
               QStringLiteral(". Mend the settings file ([Ports] holds one line per port, such as "
                              "COM%1 = /dev/ttyUSB0), then %2.")
                   .arg(portNumber)
                   .arg(words.tryAgain);
    case PortFailure::Other:
        break;
    }
    return failure.description() + QStringLiteral(". ") + words.chooseDevice;
}
