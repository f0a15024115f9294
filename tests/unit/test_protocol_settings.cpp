// The framed packet, the line-settings string, and the settings store.
#include "FakeSerialControl.h"
#include "SettingsFile.h"
#include "VirtualClock.h"
#include "app/frmProg.h"
#include "serial/LineSettings.h"
#include "serial/PortResolver.h"
#include "session/Protocol.h"
#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using ModuleReg::HKEY_LOCAL_MACHINE;
const QString Path = QString::fromLatin1(ModuleReg::SettingsPath);
const QString Value = QStringLiteral("ComPort");

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { removeSettings(); }
};

} // namespace

TEST(SendPacket, framesCommandLengthDataAndCheckByte) {
    EXPECT_EQ(Protocol::framePacket(0x10, QVariantList{1, 2, 3}),
              QByteArray("\x10\x03\x01\x02\x03\xEF", 6));
    EXPECT_EQ(Protocol::framePacket(0x41, QVariant(QStringLiteral("not a list"))),
              QByteArray("\x41\x00\xBE", 3));
    EXPECT_EQ(Protocol::framePacket(0x41, QVariant()), QByteArray("\x41\x00\xBE", 3));
    EXPECT_EQ(Protocol::framePacket(0x00, QVariantList{}), QByteArray("\x00\x00\xFF", 3));
    QVariantList full;
    for (int i = 0; i < 255; ++i)
        full << i;
    EXPECT_EQ(Protocol::framePacket(0x20, full)->size(), 258);
}

TEST(SendPacket, anInvalidPacketIsNotFramedAtAll) {
    QVariantList tooLong;
    for (int i = 0; i < 256; ++i)
        tooLong << 0;
    EXPECT_FALSE(Protocol::framePacket(0x20, tooLong));
    EXPECT_FALSE(Protocol::framePacket(0x20, QVariantList{1, 256}));
    EXPECT_FALSE(Protocol::framePacket(0x20, QVariantList{-1}));
    EXPECT_FALSE(Protocol::framePacket(0x20, QVariantList{QStringLiteral("x")}));
}

TEST(SendPacket, theWindowWritesAWholeFrameOrNothing) {
    auto control = std::make_unique<FakeSerialControl>();
    FakeSerialControl *fake = control.get();
    frmProg window(std::move(control), std::make_unique<VirtualClock>());
    window.SendPacket(0x10, QVariantList{1, 2, 3});
    EXPECT_TRUE(fake->written.isEmpty()) << "closed port";
    (void)fake->setPortOpen(true);
    window.SendPacket(0x10, QVariantList{1, 2, 300});
    EXPECT_TRUE(fake->written.isEmpty()) << "invalid value";
    window.SendPacket(0x10, QVariantList{1, 2, 3});
    EXPECT_EQ(fake->written, QByteArray("\x10\x03\x01\x02\x03\xEF", 6));
    fake->failCloseWith = QStringLiteral("refused");
    ASSERT_FALSE(window.link().disconnectPort().ok());
    ASSERT_TRUE(window.link().PortError() && window.PortOpen());
    window.SendPacket(0x10, QVariantList{1});
    EXPECT_EQ(fake->written.size(), 6);
}

TEST(LineSettingsText, parsesTheFourFieldsAndRejectsTheRest) {
    const auto ok = LineSettings::parse(QStringLiteral("57600,n,8,1"));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->baudRate, 57600);
    EXPECT_EQ(ok->parity, QSerialPort::NoParity);
    EXPECT_EQ(LineSettings::parse(QStringLiteral("9600,E,7,2"))->parity, QSerialPort::EvenParity);
    for (const char *bad : {"", "57600", "57600,n,8", "fast,n,8,1", "57600,x,8,1", "57600,n,9,1",
                            "57600,n,8,3", "-1,n,8,1", "57600,n,8,1,1"})
        EXPECT_FALSE(LineSettings::parse(QString::fromLatin1(bad))) << bad;
}

using State = ModuleReg::PortMapping::State;

ModuleReg::PortMapping mapping(int number) {
    return ModuleReg::portMapping(number);
}

TEST_F(SettingsStoreTest, missingFileGroupOrKeyReadsEmptyAndCreatesNothing) {
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), std::nullopt);
    EXPECT_EQ(mapping(3).state, State::Unmapped);
    EXPECT_FALSE(QFileInfo::exists(settingsFile()));
    writeSettings("[Ports]\nCOM3=/dev/ttyUSB0\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), std::nullopt);
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, QStringLiteral("Software\\Other\\Place"),
                                       Value),
              std::nullopt);
}

TEST_F(SettingsStoreTest, valuesReadAsStoredUpToTheFirstNul) {
    writeSettings("[General]\nComPort=3\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("3"));
    writeSettings("[General]\nComPort=\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QString());
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value,
                              QStringLiteral("4") + QChar(0) + QStringLiteral("x"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("4"));
}

namespace {

// A file as an operator edits it: both kinds of comment, blank lines, CR LF line ends, the map
// before the general group, spacing, a trailing comment, a quoted value and a group given twice.
const QByteArray HandWritten = "# Tarnix Pellora, bench 4\r\n"
                               "\r\n"
                               "[Ports]\r\n"
                               "; the FTDI cable\r\n"
                               "COM9 = /dev/serial/by-id/usb-FTDI_A50285BI-if00-port0   # blue\r\n"
                               "com10=\"/dev/tty USB\"\r\n"
                               "\r\n"
                               "[general]\r\n"
                               "ComPort = 9 ; last used\r\n"
                               "\r\n"
                               "[Ports]\r\n"
                               "COM11=/dev/ttyACM0\r\n"
                               "# end of the map\r\n";

} // namespace

TEST_F(SettingsStoreTest, aFileWrittenByHandReadsWithItsCommentsAndGroupsInAnyOrder) {
    writeSettings(HandWritten);
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("9"));
    EXPECT_EQ(mapping(9).device, QStringLiteral("/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0"));
    EXPECT_EQ(mapping(10).device, QStringLiteral("/dev/tty USB"));
    EXPECT_EQ(mapping(11).device, QStringLiteral("/dev/ttyACM0"));
    EXPECT_EQ(mapping(12).state, State::Unmapped);
    EXPECT_EQ(ModuleReg::mappedPortNumbers(), (QList<int>{9, 10, 11}));
    EXPECT_TRUE(ModuleReg::unreadableLines().isEmpty());

    // Keys before any heading are the general group's, as they were for the classic store.
    writeSettings("ComPort=5\n[Ports]\nCOM5=/dev/ttyUSB3\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("5"));
    EXPECT_EQ(mapping(5).device, QStringLiteral("/dev/ttyUSB3"));
}

TEST_F(SettingsStoreTest, aWriteChangesOnlyTheValueByteForByte) {
    writeSettings(HandWritten);
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("11"));
    QByteArray expected = HandWritten;
    expected.replace("ComPort = 9 ; last used", "ComPort = 11 ; last used");
    EXPECT_EQ(readSettings(), expected);

    ASSERT_TRUE(ModuleReg::mapPortDevice(10, QStringLiteral("/dev/ttyUSB1")));
    expected.replace("com10=\"/dev/tty USB\"", "com10=/dev/ttyUSB1");
    EXPECT_EQ(readSettings(), expected);

    // A new number goes after the last entry of the map's last part, in the file's line ends.
    ASSERT_TRUE(ModuleReg::mapPortDevice(12, QStringLiteral("/dev/ttyUSB2")));
    expected.replace("COM11=/dev/ttyACM0\r\n", "COM11=/dev/ttyACM0\r\nCOM12=/dev/ttyUSB2\r\n");
    EXPECT_EQ(readSettings(), expected);

    // No general group: one is added at the end; a file without a last line end keeps it so
    // where a key joins a group.
    writeSettings("# only a map\n[Ports]\nCOM3=/dev/ttyS2");
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("3"));
    EXPECT_EQ(readSettings(),
              QByteArray("# only a map\n[Ports]\nCOM3=/dev/ttyS2\n\n[General]\nComPort=3\n"));
    writeSettings("[Ports]\nCOM3=/dev/ttyS2");
    ASSERT_TRUE(ModuleReg::mapPortDevice(4, QStringLiteral("/dev/ttyS3")));
    EXPECT_EQ(readSettings(), QByteArray("[Ports]\nCOM3=/dev/ttyS2\nCOM4=/dev/ttyS3"));

    // A comment that follows the old value without a blank stays a comment.
    for (const QByteArray &line :
         {QByteArray("ComPort=;x"), QByteArray("ComPort= #x"), QByteArray("ComPort=\"3\";x")}) {
        writeSettings("[General]\n" + line + "\n[Ports]\nCOM3=/dev/ttyS2");
        ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("5"));
        EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("5"))
            << line.toStdString();
    }

    // Values that would read otherwise unquoted go in quotes, and read back as written.
    for (const QString &value : {QStringLiteral(" 4"), QStringLiteral("a ;b"), QStringLiteral("#1"),
                                 QStringLiteral("\"q\" \\ x\ny\t"), QStringLiteral("ä=ö"),
                                 QStringLiteral("x à"), QStringLiteral("ą")}) {
        ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, value);
        EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), value)
            << value.toStdString();
        EXPECT_EQ(mapping(3).device, QStringLiteral("/dev/ttyS2"));
    }
}

TEST_F(SettingsStoreTest, aLineThatIsNotASettingIsNamedAndNoPortIsGuessedAroundIt) {
    writeSettings("[General]\n"
                  "ComPort=9\n"
                  "just words\n"
                  "[Ports]\n"
                  "COM3=/dev/ttyUSB0\n"
                  "COM9 /dev/ttyUSB1\n"
                  "= nothing\n"
                  "COM4=\"open\n");
    const QList<ModuleReg::UnreadableLine> lines = ModuleReg::unreadableLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0].describe(),
              settingsFile() + QStringLiteral(", line 3: \"just words\" is not a name=value "
                                              "setting; it is ignored"));
    EXPECT_EQ(lines[1].line, 6);
    EXPECT_EQ(lines[1].text, QStringLiteral("COM9 /dev/ttyUSB1"));
    EXPECT_EQ(lines[2].reason, QStringLiteral("has no name before \"=\"; it is ignored"));
    EXPECT_EQ(lines[3].reason, QStringLiteral("has a quote that is not closed; it is ignored"));

    // The readable ones still count; a number that may be on a damaged line opens nothing.
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("9"));
    EXPECT_EQ(mapping(3).device, QStringLiteral("/dev/ttyUSB0"));
    const ModuleReg::PortMapping nine = mapping(9);
    EXPECT_EQ(nine.state, State::Unreadable);
    EXPECT_EQ(nine.reason, QStringLiteral("line 6 of %1 cannot be read, so its device is unknown")
                               .arg(settingsFile()));
    EXPECT_EQ(resolvePortDevice(9).device, QString()) << "no /dev/ttyS8";
    EXPECT_EQ(resolvePortDevice(3).device, QStringLiteral("/dev/ttyUSB0"));

    // Damage outside the map leaves the other numbers to their built-in port.
    writeSettings("[General]\njust words\n[Ports]\nCOM3=/dev/ttyUSB0\n");
    EXPECT_EQ(resolvePortDevice(9).device, QStringLiteral("/dev/ttyS8"));
    // A heading that cannot be read may have been the map's; an empty entry maps to nothing.
    writeSettings("[Ports\nCOM9=/dev/ttyUSB1\n");
    EXPECT_EQ(mapping(9).state, State::Unreadable);
    EXPECT_EQ(ModuleReg::unreadableLines().value(0).reason,
              QStringLiteral("is not a [group] heading; it and the lines under it are ignored"));
    writeSettings("[Ports]\nCOM9 =\n");
    EXPECT_EQ(mapping(9).reason,
              QStringLiteral("line 2 of %1 maps it to no device").arg(settingsFile()));
    writeSettings("[Ports]\nCOM9=/dev/ttyUSB\xff\n");
    EXPECT_EQ(ModuleReg::unreadableLines().value(0).reason,
              QStringLiteral("is not UTF-8 text; it is ignored"));
    EXPECT_EQ(mapping(9).state, State::Unreadable);
}

TEST_F(SettingsStoreTest, aWriteCreatesThePathAndKeepsEveryOtherEntry) {
    EXPECT_FALSE(
        QFileInfo::exists(QFileInfo(settingsFile()).absolutePath() + QStringLiteral("/nothing")));
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("2"));
    EXPECT_EQ(readSettings(), QByteArray("[General]\nComPort=2\n"));
    ASSERT_TRUE(ModuleReg::mapPortDevice(3, QStringLiteral("/dev/ttyUSB0")));
    EXPECT_EQ(readSettings(), QByteArray("[General]\nComPort=2\n\n[Ports]\nCOM3=/dev/ttyUSB0\n"));
    EXPECT_FALSE(ModuleReg::mapPortDevice(4, QStringLiteral("  ")));

    // The file keeps its mode, and a link to a file kept elsewhere stays a link.
    QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("4"));
    EXPECT_EQ(QFileInfo(settingsFile()).permissions() & 0x0777,
              QFileDevice::ReadUser | QFileDevice::WriteUser);
    QTemporaryDir elsewhere;
    const QString kept = elsewhere.filePath(QStringLiteral("Settings.ini"));
    ASSERT_TRUE(QFile::rename(settingsFile(), kept));
    ASSERT_TRUE(QFile::link(kept, settingsFile()));
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("6"));
    EXPECT_TRUE(QFileInfo(settingsFile()).isSymLink());
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("6"));
    QFile::remove(settingsFile());
}

TEST_F(SettingsStoreTest, aFileThatCannotBeWrittenOrReadIsLeftAlone) {
    // A directory where the file should be: nothing reads, nothing is guessed, nothing is written.
    QDir().mkpath(settingsFile());
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("5"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), std::nullopt);
    EXPECT_EQ(mapping(5).state, State::Unreadable);
    EXPECT_TRUE(mapping(5).reason.startsWith(
        QStringLiteral("the port map %1 cannot be read").arg(settingsFile())));
    EXPECT_FALSE(ModuleReg::mapPortDevice(5, QStringLiteral("/dev/ttyUSB0")));
    EXPECT_TRUE(QFileInfo(settingsFile()).isDir());
    QDir(settingsFile()).removeRecursively();

    // A read-only file (root ignores the permission bits, so the store looks at them itself).
    writeSettings("[General]\nComPort=7\n");
    QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner);
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("5"));
    EXPECT_FALSE(ModuleReg::mapPortDevice(5, QStringLiteral("/dev/ttyUSB0")));
    QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(readSettings(), QByteArray("[General]\nComPort=7\n"));
}

TEST_F(SettingsStoreTest, garbageNeverCrashesAndTheWindowFallsBackToPort2) {
    const QByteArray garbage[] = {QByteArray("\x00\xff\xfe[[[=\n\x01", 9), "[General\nComPort",
                                  "ComPort=\"unterminated\n", QByteArray(70000, '[')};
    for (const QByteArray &content : garbage) {
        writeSettings(content);
        (void)ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value);
        (void)mapping(1);
        frmProg window(std::make_unique<FakeSerialControl>(), std::make_unique<VirtualClock>());
        EXPECT_EQ(window.findChild<QLineEdit *>(QStringLiteral("txtComPort"))->text(),
                  QStringLiteral("2"));
    }
}
