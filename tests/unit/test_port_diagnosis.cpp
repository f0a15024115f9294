// What the operator is told when a port does not open: the kind of the failure, the note for each
// kind in the window, the program holding a port (from a scratch /proc), brltty, the permission
// advice, and the latency timer of USB adapters (from a scratch /sys).
#include "FakeSerialControl.h"
#include "ScratchMachine.h"
#include "VirtualClock.h"
#include "app/LogView.h"
#include "app/frmProg.h"
#include "serial/LatencyTimer.h"
#include "serial/PortDiagnosis.h"
#include "serial/QtSerialControl.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

const FrontEndWords Words{QStringLiteral("Right-click the port number to choose a device."),
                          QStringLiteral("press Connect again")};

QString currentUser() {
    const passwd *user = ::getpwuid(::geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString();
}

} // namespace

TEST(OpenFailureKind, comesFromTheLibrarysErrorAndTheSystemsAnswer) {
    const struct {
        QSerialPort::SerialPortError error;
        int openErrno;
        bool accessRefused, locked;
        PortFailure kind;
    } cases[] = {
        {QSerialPort::PermissionError, EACCES, true, false, PortFailure::NoPermission},
        // Root passes access(2), but a read-only attribute still refuses the open.
        {QSerialPort::PermissionError, EACCES, false, false, PortFailure::NoPermission},
        // A lock file held by another program: errno is whatever the lock's check left.
        {QSerialPort::PermissionError, EACCES, false, true, PortFailure::InUse},
        {QSerialPort::PermissionError, EEXIST, false, false, PortFailure::InUse},
        {QSerialPort::PermissionError, EBUSY, true, false, PortFailure::InUse},
        {QSerialPort::DeviceNotFoundError, ENOENT, false, false, PortFailure::NotFound},
        {QSerialPort::OpenError, 0, false, false, PortFailure::InUse},
        {QSerialPort::UnknownError, ENXIO, false, false, PortFailure::NotFound},
        {QSerialPort::ResourceError, EBUSY, false, false, PortFailure::InUse},
        {QSerialPort::UnsupportedOperationError, ENOTTY, false, false, PortFailure::Other},
        {QSerialPort::UnknownError, EISDIR, false, false, PortFailure::Other},
    };
    for (const auto &c : cases)
        EXPECT_EQ(openFailureKind(c.error, c.openErrno, c.accessRefused, c.locked), c.kind)
            << c.error << " errno " << c.openErrno;
}

TEST(WindowOpenFailure, eachKindLeavesOneNoteThatSaysWhatToDo) {
    const QString user = currentUser();
    const struct {
        PortFailure kind;
        const char *description;
        QString note;
    } cases[] = {
        {PortFailure::NoPermission, "/dev/fake7: Permission denied",
         QStringLiteral("/dev/fake7 cannot be opened: permission denied. Serial ports belong to "
                        "the group dialout: sudo adduser %1 dialout, then log out and in again.")
             .arg(user)},
        {PortFailure::InUse, "/dev/fake7: Permission error while locking the device",
         QStringLiteral("/dev/fake7 is in use by another program: close it, then press Connect "
                        "again.")},
        {PortFailure::NotFound, "/dev/fake7: No such file or directory",
         QStringLiteral("COM7 opens /dev/fake7, which is not there. Serial devices present: "
                        "/dev/ttyS0. Right-click the port number to choose a device.")},
        {PortFailure::UnknownDevice,
         "COM7: line 2 of x.ini cannot be read, so its device is unknown",
         QStringLiteral("COM7: line 2 of x.ini cannot be read, so its device is unknown. Mend the "
                        "settings file ([Ports] holds one line per port, such as COM7 = "
                        "/dev/ttyUSB0), then press Connect again.")},
        {PortFailure::Other, "/dev/fake7: Inappropriate ioctl for device",
         QStringLiteral("/dev/fake7: Inappropriate ioctl for device. Right-click the port number "
                        "to choose a device.")},
        {PortFailure::InvalidNumber, "COM7: not a valid port number (1 to 32767)", QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.description);
        auto control = std::make_unique<FakeSerialControl>();
        FakeSerialControl *fake = control.get();
        frmProg window(std::move(control), std::make_unique<VirtualClock>());
        window.setDeviceLister([] {
            return QList<SerialDevice>{{SerialDevice::Kind::Builtin, "/dev/ttyS0", "/dev/ttyS0"}};
        });
        fake->failOpenWith = QString::fromLatin1(c.description);
        fake->failOpenAs = c.kind;
        window.findChild<QLineEdit *>(QStringLiteral("txtComPort"))->setText(QStringLiteral("7"));
        window.findChild<QPushButton *>(QStringLiteral("btnCon"))->click();
        EXPECT_TRUE(window.windowTitle().endsWith(QString::fromLatin1(c.description)));
        EXPECT_TRUE(window.link().PortError());
        EXPECT_EQ(window.log().text(), c.note);
    }
}

TEST(PortOwner, isTheProcessWithTheDeviceOpenElseTheLockHolder) {
    ScratchMachine machine;
    const QString device = machine.file(QStringLiteral("dev/ttyUSB0"));
    const QString other = machine.file(QStringLiteral("dev/ttyUSB1"));
    machine.process(::getpid(), "us", device); // this very program does not count
    machine.process(90, "bash", other);
    machine.process(100, "/usr/bin/minicom", device);
    EXPECT_EQ(portOwner(device, machine.folders), (PortOwner{100, QStringLiteral("minicom")}));
    EXPECT_EQ(openFailureNote(SerialStatus::failure(device + ": busy", PortFailure::InUse), 0,
                              device, Words, {}, machine.folders),
              device + QStringLiteral(" is in use by minicom (pid 100): close that program, then "
                                      "press Connect again."));

    // The holder of the lock file is the one a lock failure is about, and the only one to see when
    // the descriptors are another user's.
    machine.process(300, "screen");
    machine.file(QStringLiteral("root/run/lock/LCK..ttyUSB0"), "       300\n");
    EXPECT_EQ(lockHolder(device, machine.folders), 300);
    EXPECT_EQ(portOwner(device, machine.folders), (PortOwner{300, QStringLiteral("screen")}));
    // A lock left by a program that is gone names nobody.
    machine.file(QStringLiteral("root/run/lock/LCK..ttyUSB0"), "400\nminicom\nhost\n");
    EXPECT_EQ(lockHolder(device, machine.folders), std::nullopt);
    EXPECT_EQ(portOwner(device, machine.folders), (PortOwner{100, QStringLiteral("minicom")}));
    QDir(machine.dir.filePath(QStringLiteral("proc/100"))).removeRecursively();
    EXPECT_EQ(portOwner(device, machine.folders), std::nullopt);
}

TEST(MissingDevice, namesBrlttyOnlyWhenItMayHaveTakenAUsbAdapter) {
    ScratchMachine machine;
    const QString missing = machine.dir.filePath(QStringLiteral("dev/ttyUSB0"));
    const SerialStatus failure =
        SerialStatus::failure(missing + ": No such file or directory", PortFailure::NotFound);
    const QList<SerialDevice> builtin{{SerialDevice::Kind::Builtin, "/dev/ttyS0", "/dev/ttyS0"}};
    const QList<SerialDevice> usb{{SerialDevice::Kind::Usb, "/dev/ttyUSB1", "/dev/ttyUSB1"}};
    const auto note = [&](const QString &device, const QList<SerialDevice> &present) {
        return openFailureNote(failure, 3, device, Words, present, machine.folders);
    };
    EXPECT_FALSE(note(missing, builtin).contains(QStringLiteral("brltty"))) << "not installed";
    machine.file(QStringLiteral("root/usr/lib/udev/rules.d/85-brltty.rules"));
    EXPECT_TRUE(brlttyInstalled(machine.folders));
    EXPECT_EQ(note(missing, builtin),
              QStringLiteral("COM3 opens %1, which is not there. Serial devices present: "
                             "/dev/ttyS0. Right-click the port number to choose a device. If the "
                             "adapter was plugged in and vanished at once, brltty took it: its "
                             "udev rules claim FTDI, CH340 and CP210x adapters for braille "
                             "displays. Without a braille display: sudo apt remove brltty, then "
                             "plug the adapter in again.")
                  .arg(missing));
    EXPECT_TRUE(note(missing, {}).contains(QStringLiteral("brltty took it")));
    EXPECT_FALSE(note(missing, usb).contains(QStringLiteral("brltty"))) << "an adapter is there";
    EXPECT_FALSE(note(QStringLiteral("/dev/ttyS7"), builtin).contains(QStringLiteral("brltty")));
}

TEST(NoPermission, theAdviceFollowsTheDevicesGroupAndMode) {
    ScratchMachine machine;
    const QString device = machine.file(QStringLiteral("dev/ttyUSB0"));
    const SerialStatus failure =
        SerialStatus::failure(device + ": Permission denied", PortFailure::NoPermission);
    QFile::setPermissions(device, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString shut = openFailureNote(failure, 0, device, Words, {}, machine.folders);
    EXPECT_TRUE(shut.startsWith(device + QStringLiteral(" cannot be opened: permission denied. "
                                                        "Not even its group ")))
        << shut.toStdString();
    EXPECT_TRUE(shut.contains(QStringLiteral("(mode 0600): a udev rule must give it to the group "
                                             "dialout")));

    const group *dialout = ::getgrnam("dialout");
    if (::geteuid() != 0 || !dialout)
        GTEST_SKIP() << "giving a file to the group dialout needs root and that group";
    ASSERT_EQ(::chown(QFile::encodeName(device).constData(), 0, dialout->gr_gid), 0);
    QFile::setPermissions(device, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ReadGroup | QFileDevice::WriteGroup);
    const QString user = currentUser();
    EXPECT_EQ(openFailureNote(failure, 0, device, Words, {}, machine.folders),
              device + QStringLiteral(" cannot be opened: permission denied. It belongs to the "
                                      "group dialout, which %1 is not in: sudo adduser %1 "
                                      "dialout, then log out and in again.")
                           .arg(user));
}

TEST(LatencyTimer, isSetTo1msWhereItCanBeElseItsCostIsToldOnce) {
    ScratchMachine machine;
    const QString device = machine.file(QStringLiteral("dev/ttyUSB0"));
    const QString timer =
        machine.file(QStringLiteral("sys/bus/usb-serial/devices/ttyUSB0/latency_timer"), "16\n");
    EXPECT_EQ(lowerLatencyTimer(device, machine.folders.sys), QString());
    QFile lowered(timer);
    ASSERT_TRUE(lowered.open(QIODevice::ReadOnly));
    EXPECT_EQ(lowered.readAll().trimmed(), QByteArray("1"));
    EXPECT_EQ(lowerLatencyTimer(device, machine.folders.sys), QString()) << "already 1 ms";

    // No timer: a built-in port or a pseudo-terminal.
    EXPECT_EQ(lowerLatencyTimer(machine.file(QStringLiteral("dev/ttyS0")), machine.folders.sys),
              QString());
    EXPECT_EQ(lowerLatencyTimer(QStringLiteral("/dev/pts/0"), machine.folders.sys), QString());

    // One that refuses to be written. Root writes anything in a scratch folder; a read-only
    // attribute of the real sysfs refuses even root.
    QFile::remove(timer);
    QString refusing;
    if (::geteuid() != 0) {
        machine.file(QStringLiteral("sys/bus/usb-serial/devices/ttyUSB0/latency_timer"), "16\n");
        QFile::setPermissions(timer, QFileDevice::ReadOwner);
    } else if (QFileInfo::exists(QStringLiteral("/sys/kernel/uevent_seqnum"))) {
        QFile::link(QStringLiteral("/sys/kernel/uevent_seqnum"), timer);
    } else {
        GTEST_SKIP() << "nothing here refuses a write from root";
    }
    QFile value(timer);
    ASSERT_TRUE(value.open(QIODevice::ReadOnly));
    const QByteArray ms = value.readAll().trimmed();
    if (ms.toLongLong() <= 1)
        GTEST_SKIP() << "the refusing attribute reads " << ms.toStdString();
    EXPECT_EQ(lowerLatencyTimer(device, machine.folders.sys),
              QStringLiteral("%1: the adapter's latency timer is %2 ms, which costs %2 ms per line "
                             "acknowledgement. Set it to 1 ms with: echo 1 | sudo tee "
                             "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer (for good: a udev "
                             "rule with ATTR{latency_timer}=\"1\").")
                  .arg(device, QString::fromLatin1(ms)));
}
