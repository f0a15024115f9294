// The port and the settings file going wrong before a run: the window says what is wrong, changes
// nothing it should not, and programs once the operator has put it right, without a restart.
#include "SettingsFile.h"
#include "TestPty.h"
#include "WindowRig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <functional>
#include <pwd.h>
#include <unistd.h>

using FaultSetup = WindowRig;

TEST_F(FaultSetup, aPortNumberMappedToAMissingDeviceConnectsOnceItIsThere) {
    newWindow();
    button("btnCon")->click();
    expectErrorCaption(caption(), linkPath() + QStringLiteral(": No such file or directory"));
    EXPECT_FALSE(window->PortOpen());
    EXPECT_EQ(button("btnCon")->text(), QStringLiteral("Connect"));

    startDevice(); // the adapter is plugged in
    button("btnCon")->click();
    ASSERT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
    programAfterwards();
}

TEST_F(FaultSetup, aPortWithoutPermissionIsRefusedWithItsReason) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    const QByteArray device = pty.slavePath().toLocal8Bit();
    if (::geteuid() != 0) {
        mapPort(pty.slavePath());
        ::chmod(device.constData(), 0);
        newWindow();
        button("btnCon")->click();
        expectErrorCaption(caption(), pty.slavePath() + QStringLiteral(": Permission denied"));
        EXPECT_TRUE(logText().startsWith(pty.slavePath() + QStringLiteral(" cannot be opened: "
                                                                          "permission denied. ")))
            << logText().toStdString();
        ::chmod(device.constData(), 0620);
        button("btnCon")->click();
        EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
        return;
    }
    // Root opens anything: the window runs as another user instead.
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const passwd *nobody = ::getpwnam("nobody");
    if (setpriv.isEmpty() || !nobody)
        GTEST_SKIP() << "needs setpriv and the user nobody to show a refusal as root";

    // A settings folder that user can read, mapping the port to the pty (root's, mode 0620).
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const QString ini = config.filePath(QStringLiteral("Tarnix/Settings.ini"));
    QDir().mkpath(QFileInfo(ini).absolutePath());
    writeFileAt(ini, "[Ports]\nCOM" + QByteArray::number(Port) + '=' + device + '\n');
    for (const QString &path : {config.path(), QFileInfo(ini).absolutePath()})
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                        QFileDevice::ExeOther);
    QFile::setPermissions(ini, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ReadOther);

    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("HOME"), config.path());
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    probe.setProcessEnvironment(env);
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(setpriv,
                {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                 QStringLiteral("--regid=%1").arg(nobody->pw_gid), QStringLiteral("--clear-groups"),
                 QStringLiteral(PORT_PROBE_PATH), QString::number(Port)});
    ASSERT_TRUE(probe.waitForStarted(5000));
    const auto nextCaption = [&probe] {
        waitUntil([&] { return probe.canReadLine() || probe.state() == QProcess::NotRunning; },
                  10'000);
        return QString::fromLocal8Bit(probe.readLine()).trimmed();
    };
    expectErrorCaption(nextCaption(), pty.slavePath() + QStringLiteral(": Permission denied"));
    // One note with what to do about it.
    const QString note = nextCaption();
    EXPECT_TRUE(note.startsWith(pty.slavePath() + QStringLiteral(" cannot be opened: permission "
                                                                 "denied. ")))
        << note.toStdString();
    EXPECT_FALSE(note.contains(QLatin1Char('|'))) << note.toStdString();

    // The operator is given access: Connect works in the same window.
    ::chmod(device.constData(), 0666);
    probe.write("\n");
    EXPECT_EQ(nextCaption(), QStringLiteral("Tarnix Pellora, Connect: True"));
    EXPECT_EQ(nextCaption(), QString()) << "no note";
    EXPECT_TRUE(waitForEnd(probe, 5000));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
}

namespace {

struct BrokenSettings {
    const char *name;
    // Breaks the settings file, whose mapping of the port is in place.
    std::function<void(const QString &file, const QString &device, int port)> breakIt;
    // Whether the port's mapping can still be read; if not, how the failed connect ends.
    bool mappingReadable;
    std::function<QString(const QString &file, int port)> failure;
    // What the window leaves of the file: `before` unchanged, or with the port number added.
    bool keepsTheFile;
    friend void PrintTo(const BrokenSettings &b, std::ostream *os) { *os << b.name; }
};

class FaultSettings : public WindowRig, public ::testing::WithParamInterface<BrokenSettings> {};

} // namespace

TEST_P(FaultSettings, theWindowOpensOnlyTheMappedDeviceAndKeepsTheFileAsWritten) {
    startDevice();
    const QString file = settingsFile();
    GetParam().breakIt(file, linkPath(), Port);
    const bool wasDir = QFileInfo(file).isDir();
    const QByteArray before = wasDir ? QByteArray() : readFile(file);

    newWindow();
    button("btnCon")->click();
    if (GetParam().mappingReadable) {
        EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
        programAfterwards();
    } else {
        // No guess: without its mapping the number does not open /dev/ttyS<N-1>.
        expectErrorCaption(caption(), GetParam().failure(file, Port));
        EXPECT_EQ(logText().count(QStringLiteral("Mend the settings file")), 1)
            << logText().toStdString();
    }
    EXPECT_EQ(QFileInfo(file).isDir(), wasDir);
    if (!wasDir && GetParam().keepsTheFile) {
        EXPECT_EQ(readFile(file), before) << "the file is as it was";
    } else if (!wasDir && GetParam().mappingReadable) {
        // The port number and the chosen file's folder are remembered; every other byte stays.
        EXPECT_EQ(readFile(file), before + "\n[General]\nComPort=" + QByteArray::number(Port) +
                                      "\nLastFolder=" + dir.path().toUtf8() + '\n');
    }

    if (!GetParam().mappingReadable) {
        mapPort(linkPath()); // the operator repairs the file
        button("btnCon")->click();
        ASSERT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
        programAfterwards();
    }
}

INSTANTIATE_TEST_SUITE_P(
    FaultSetup, FaultSettings,
    ::testing::Values(
        BrokenSettings{"commentsAndAStrayLine",
                       [](const QString &file, const QString &device, int port) {
                           writeFileAt(file, "# bench 4\n; by hand\n[Ports]\n# the board\nCOM" +
                                                 QByteArray::number(port) + " = " +
                                                 device.toLocal8Bit() + "   # on the sim\n" +
                                                 "stray words\n");
                       },
                       true, nullptr, false},
        BrokenSettings{"theMappingUnreadable",
                       [](const QString &file, const QString &device, int port) {
                           writeFileAt(file, "[Ports]\nCOM" + QByteArray::number(port) + ' ' +
                                                 device.toLocal8Bit() + '\n');
                       },
                       false,
                       [](const QString &file, int port) {
                           return QStringLiteral("COM%1: line 2 of %2 cannot be read, so its "
                                                 "device is unknown")
                               .arg(port)
                               .arg(file);
                       },
                       false},
        BrokenSettings{"readOnly",
                       [](const QString &file, const QString &, int) {
                           QFile::setPermissions(file, QFileDevice::ReadOwner |
                                                           QFileDevice::ReadGroup |
                                                           QFileDevice::ReadOther);
                       },
                       true, nullptr, true},
        BrokenSettings{"aDirectory",
                       [](const QString &file, const QString &, int) {
                           QFile::remove(file);
                           QDir().mkpath(file);
                       },
                       false,
                       [](const QString &file, int port) {
                           return QStringLiteral(
                                      "COM%1: the port map %2 cannot be read (not a file)")
                               .arg(port)
                               .arg(file);
                       },
                       false}),
    [](const ::testing::TestParamInfo<BrokenSettings> &info) {
        return std::string(info.param.name);
    });

TEST_F(FaultSetup, aLineTheFileCannotBeReadIsNamedOnceWithItsNumber) {
    startDevice();
    writeSettings("[Ports]\nCOM" + QByteArray::number(Port) + '=' + linkPath().toLocal8Bit() +
                  "\nCOM3 /dev/ttyUSB0\n");
    newWindow();
    const QString named =
        settingsFile() + QStringLiteral(", line 3: \"COM3 /dev/ttyUSB0\" is not a "
                                        "name=value setting; it is ignored");
    EXPECT_EQ(logText(), named) << "named at start-up";
    button("btnCon")->click();
    button("btnCon")->click();
    button("btnCon")->click();
    EXPECT_EQ(logText().count(named), 1) << logText().toStdString();
    EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
}
