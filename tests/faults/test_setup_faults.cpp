// The port and the settings file going wrong before a run: the window says what is wrong, changes
// nothing it should not, and programs once the operator has put it right, without a restart.
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

namespace {

using FaultSetup = WindowRig;

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void expectErrorCaption(const QString &caption, const QString &ending) {
    EXPECT_TRUE(caption.startsWith(QStringLiteral("Tarnix Pellora, Connect:   Error ")))
        << caption.toStdString();
    EXPECT_TRUE(caption.endsWith(ending)) << caption.toStdString();
}

} // namespace

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
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Ports]\nCOM" + QByteArray::number(Port) + '=' + device + '\n');
    file.close();
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

    // The operator is given access: Connect works in the same window.
    ::chmod(device.constData(), 0666);
    probe.write("\n");
    EXPECT_EQ(nextCaption(), QStringLiteral("Tarnix Pellora, Connect: True"));
    EXPECT_TRUE(waitForEnd(probe, 5000));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
}

namespace {

struct BrokenSettings {
    const char *name;
    // Breaks the settings file, whose mapping of the port is in place.
    std::function<void(const QString &file)> breakIt;
    // Whether the port's mapping can still be read.
    bool mappingReadable;
    friend void PrintTo(const BrokenSettings &b, std::ostream *os) { *os << b.name; }
};

class FaultSettings : public WindowRig, public ::testing::WithParamInterface<BrokenSettings> {};

} // namespace

TEST_P(FaultSettings, theWindowStartsProgramsOnceRepairedAndNeverRewritesTheFile) {
    startDevice();
    const QString file = settingsFile();
    GetParam().breakIt(file);
    const bool wasDir = QFileInfo(file).isDir();
    const QByteArray before = wasDir ? QByteArray() : readAll(file);

    newWindow();
    button("btnCon")->click();
    if (GetParam().mappingReadable) {
        EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
        programAfterwards();
    } else {
        // Without the mapping the number stands for /dev/ttyS<N-1>, which is not there.
        expectErrorCaption(caption(),
                           QStringLiteral("/dev/ttyS%1: No such file or directory").arg(Port - 1));
    }
    EXPECT_EQ(QFileInfo(file).isDir(), wasDir);
    if (!wasDir) {
        EXPECT_EQ(readAll(file), before) << "the file is as it was";
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
    ::testing::Values(BrokenSettings{"corrupt",
                                     [](const QString &file) {
                                         QFile f(file);
                                         ASSERT_TRUE(f.open(QIODevice::Append));
                                         f.write("[General\nComPort=\"4242\n\x01\xff");
                                     },
                                     false},
                      BrokenSettings{"readOnly",
                                     [](const QString &file) {
                                         QFile::setPermissions(file, QFileDevice::ReadOwner |
                                                                         QFileDevice::ReadGroup |
                                                                         QFileDevice::ReadOther);
                                     },
                                     true},
                      BrokenSettings{"aDirectory",
                                     [](const QString &file) {
                                         QFile::remove(file);
                                         QDir().mkpath(file);
                                     },
                                     false}),
    [](const ::testing::TestParamInfo<BrokenSettings> &info) {
        return std::string(info.param.name);
    });
