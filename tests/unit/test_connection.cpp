// Connecting and disconnecting over a real pseudo-terminal mapped through [Ports], failures, the
// port box's number parsing, and the single-byte send.
#include "SettingsFile.h"
#include "TestPty.h"
#include "VirtualClock.h"
#include "WindowRig.h"
#include "app/LogView.h"
#include "app/PortNumber.h"
#include "app/frmProg.h"
#include "serial/PortDiagnosis.h"
#include "serial/QtSerialControl.h"
#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

const QString RegPath = QString::fromLatin1(ModuleReg::SettingsPath);

std::optional<QString> storedPort() {
    return ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath,
                                    QStringLiteral("ComPort"));
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(settingsFile());
        ASSERT_TRUE(pty.ok());
        mapPort(7, pty.slavePath());
        window = std::make_unique<frmProg>(nullptr, std::make_unique<VirtualClock>());
        portBox = window->findChild<QLineEdit *>(QStringLiteral("txtComPort"));
        btnCon = window->findChild<QPushButton *>(QStringLiteral("btnCon"));
        btnFlash = window->findChild<QPushButton *>(QStringLiteral("btnFlash"));
    }

    TestPty pty;
    std::unique_ptr<frmProg> window;
    QLineEdit *portBox = nullptr;
    QPushButton *btnCon = nullptr;
    QPushButton *btnFlash = nullptr;
};

} // namespace

TEST_F(ConnectionTest, connectAndDisconnectOverAPseudoTerminal) {
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    EXPECT_TRUE(window->PortOpen());
    EXPECT_TRUE(window->Connected);
    EXPECT_FALSE(window->link().PortError());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, Connect: True"));
    EXPECT_EQ(btnCon->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(storedPort(), QStringLiteral("7"));
    EXPECT_EQ(window->link().PortNumber(), 7);
    EXPECT_EQ(window->link().PortSpeed(), 57600);
    EXPECT_EQ(window->link().lineSettings(), QStringLiteral("57600,n,8,1"));
    EXPECT_EQ(window->link().devicePath(), pty.slavePath());

    btnCon->click();
    EXPECT_FALSE(window->PortOpen());
    EXPECT_FALSE(window->Connected);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, Connect: False"));
    EXPECT_EQ(btnCon->text(), QStringLiteral("Connect"));
    EXPECT_EQ(storedPort(), QStringLiteral("7"));
}

TEST_F(ConnectionTest, theMappingIsRememberedAcrossEntriesAndStarts) {
    mapPort(3, QStringLiteral("/dev/ttyUSB9"));
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    ASSERT_TRUE(window->PortOpen());
    QSettings ini(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(ini.value(QStringLiteral("Ports/COM3")).toString(), QStringLiteral("/dev/ttyUSB9"));
    EXPECT_EQ(ini.value(QStringLiteral("Ports/COM7")).toString(), pty.slavePath());
    window.reset();
    frmProg again(nullptr, std::make_unique<VirtualClock>());
    EXPECT_EQ(again.findChild<QLineEdit *>(QStringLiteral("txtComPort"))->text(),
              QStringLiteral("7"));
}

TEST_F(ConnectionTest, aMissingDeviceShowsTheErrorCaptionAndSetsPortError) {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("ttyUSB0"));
    mapPort(4, missing);
    portBox->setText(QStringLiteral("4"));
    btnCon->click();
    expectErrorCaption(window->windowTitle(),
                       missing + QStringLiteral(": No such file or directory"));
    EXPECT_FALSE(window->Connected);
    EXPECT_TRUE(window->link().PortError());
    EXPECT_EQ(btnCon->text(), QStringLiteral("Connect"));
    EXPECT_EQ(btnFlash->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_EQ(storedPort(), QStringLiteral("2")) << "a failed connect writes nothing";
}

TEST_F(ConnectionTest, aDeviceThatIsNoTerminalIsRefusedWithItsReason) {
    QTemporaryDir dir;
    mapPort(5, dir.path());
    portBox->setText(QStringLiteral("5"));
    btnCon->click();
    expectErrorCaption(window->windowTitle(), dir.path() + QStringLiteral(": Is a directory"));
    EXPECT_TRUE(window->link().PortError());
}

TEST_F(ConnectionTest, unmappedNumbersOpenTheMatchingTtyS) {
    portBox->setText(QStringLiteral("999"));
    btnCon->click();
    EXPECT_TRUE(
        window->windowTitle().endsWith(QStringLiteral("/dev/ttyS998: No such file or directory")))
        << window->windowTitle().toStdString();
}

TEST_F(ConnectionTest, aNumberThePortCannotTakeIsOneCaptionAndNoNote) {
    const std::pair<const char *, const char *> cases[] = {{"70000", "COM70000"},
                                                           {"99999", "COM99999"},
                                                           {"abc", "COM0"},
                                                           {"0", "COM0"},
                                                           {"-3", "COM-3"}};
    for (const auto &[text, port] : cases) {
        SCOPED_TRACE(text);
        portBox->setText(QString::fromLatin1(text));
        btnCon->click();
        expectErrorCaption(window->windowTitle(),
                           QString::fromLatin1(port) +
                               QStringLiteral(": not a valid port number (1 to 32767)"));
        EXPECT_TRUE(window->link().PortError());
        EXPECT_FALSE(window->PortOpen());
        EXPECT_EQ(window->log().text(), QString()) << "the caption says it all";
    }
}

TEST_F(ConnectionTest, sendWritesOneByteOrItsComplementAndNothingWhenClosed) {
    window->Send(0x66, false);
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    ASSERT_TRUE(window->PortOpen());
    EXPECT_TRUE(pty.readAvailable().isEmpty()) << "nothing is sent while closed";
    window->Send(0x66, false);
    window->Send(0x66, true);
    EXPECT_EQ(pty.readAtLeast(2), QByteArray("\x66\x99", 2));
}

TEST_F(ConnectionTest, afterAFailedConnectSendStaysSilentUntilAConnectSucceeds) {
    portBox->setText(QStringLiteral("70000"));
    btnCon->click();
    ASSERT_TRUE(window->link().PortError());
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    EXPECT_FALSE(window->link().PortError());
    window->Send('i', false);
    EXPECT_EQ(pty.readAtLeast(1), QByteArray("i"));
}

TEST_F(ConnectionTest, baudRateAndComPortReopenAnOpenPortWithoutTouchingTheCaption) {
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    ASSERT_TRUE(window->PortOpen());
    const QString caption = window->windowTitle();
    ASSERT_TRUE(window->BaudRate(38400).ok());
    EXPECT_TRUE(window->PortOpen());
    EXPECT_EQ(window->link().lineSettings(), QStringLiteral("38400,n,8,1"));
    EXPECT_EQ(window->link().PortSpeed(), 38400);
    ASSERT_TRUE(window->comPort(7).ok());
    EXPECT_TRUE(window->PortOpen());
    EXPECT_EQ(window->windowTitle(), caption);
    EXPECT_TRUE(window->Connected);

    // Unmapped, and /dev/ttyS4241 exists on no machine (a machine may well have a /dev/ttyS5).
    const SerialStatus failed = window->comPort(4242);
    EXPECT_FALSE(failed.ok());
    EXPECT_TRUE(failed.description().contains(QStringLiteral("/dev/ttyS4241")));
    EXPECT_EQ(window->link().PortNumber(), 4242);
}

// Between runs a device that disappears is followed, not lost: no error event, the window stays
// connected, and the log says what happened.
TEST_F(ConnectionTest, theDeviceDisappearingBetweenRunsIsFollowed) {
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    ASSERT_TRUE(window->PortOpen());
    int events = 0;
    QObject::connect(&window->link(), &SerialLink::OnComm, [&] {
        if (window->link().commEvent() > 1000)
            ++events;
    });
    pty.hangUp();
    ASSERT_TRUE(waitUntil([&] { return window->link().away(); }));
    EXPECT_EQ(events, 0);
    EXPECT_TRUE(window->Connected && window->PortOpen());
    EXPECT_EQ(btnCon->text(), QStringLiteral("Disconnect"));
    EXPECT_EQ(window->windowTitle(),
              QStringLiteral("Tarnix Pellora, Waiting for the board's port"));
    EXPECT_TRUE(window->log().text().contains(
        QStringLiteral("%1 went away: waiting for it to come back").arg(pty.slavePath())));
    btnCon->click(); // the operator gives up: nothing is waited for any more
    EXPECT_FALSE(window->PortOpen() || window->link().away());
}

// Another program reading the port is named at Connect; the bytes it takes first wake the port with
// nothing to read, which is no lost device.
TEST_F(ConnectionTest, anotherReaderOfThePortIsNamedAndLosesNothingOfTheConnection) {
    QProcess reader;
    reader.setStandardOutputFile(QProcess::nullDevice());
    reader.start(QStringLiteral("cat"), {pty.slavePath()});
    ASSERT_TRUE(reader.waitForStarted());
    ASSERT_TRUE(waitUntil([&] {
        return QFileInfo(QStringLiteral("/proc/%1/fd/0").arg(reader.processId())).exists() &&
               !otherHolders(pty.slavePath()).isEmpty();
    }));
    portBox->setText(QStringLiteral("7"));
    btnCon->click();
    ASSERT_TRUE(window->PortOpen());
    EXPECT_TRUE(window->log().text().contains(
        QStringLiteral("cat (pid %1) also has %2 open: it will take part of what the board sends; "
                       "close it")
            .arg(reader.processId())
            .arg(pty.slavePath())))
        << window->log().text().toStdString();
    for (int burst = 0; burst < 50; ++burst) {
        pty.write(QByteArray(16, '.'));
        waitUntil([] { return false; }, 2);
    }
    EXPECT_TRUE(window->PortOpen() && !window->link().away());
    EXPECT_FALSE(window->log().text().contains(QStringLiteral("went away")))
        << window->log().text().toStdString();
    reader.kill();
    reader.waitForFinished();
}

TEST(PortNumberText, isTheLeadingNumberRoundedHalfToEven) {
    const std::pair<const char *, std::optional<qint16>> cases[] = {
        {" 4", 4},
        {"2.5", 2},
        {"3.5", 4},
        {"7abc", 7},
        {"abc", 0},
        {"", 0},
        {"70000", std::nullopt},
        {"-3", -3},
        {"\t12", 12},
        {".5", 0},
        {"1.", 1},
        {"32767", 32767},
        {"32768", std::nullopt},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(portNumberFromText(QString::fromLatin1(text)), expected) << text;
    EXPECT_EQ(numberText(leadingNumber(u"3")), QStringLiteral("3"));
    EXPECT_EQ(numberText(leadingNumber(u" 4x")), QStringLiteral("4"));
    EXPECT_EQ(numberText(leadingNumber(u"2.5")), QStringLiteral("2.5"));
}
