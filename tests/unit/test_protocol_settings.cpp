// The framed packet, the line-settings string, and the settings store.
#include "FakeSerialControl.h"
#include "VirtualClock.h"
#include "app/frmProg.h"
#include "serial/LineSettings.h"
#include "session/Protocol.h"
#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>

namespace {

using ModuleReg::HKEY_LOCAL_MACHINE;
const QString Path = QString::fromLatin1(ModuleReg::SettingsPath);
const QString Value = QStringLiteral("ComPort");

QString settingsFile() {
    return ModuleReg::settingsFileFor(HKEY_LOCAL_MACHINE, Path);
}

void writeRaw(const QByteArray &content) {
    QDir().mkpath(QFileInfo(settingsFile()).absolutePath());
    QFile file(settingsFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray readRaw() {
    QFile file(settingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QFile::remove(settingsFile());
        QDir(settingsFile()).removeRecursively();
    }
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
    window.link().PortError = true;
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

TEST_F(SettingsStoreTest, missingFileGroupOrKeyReadsEmptyAndCreatesNothing) {
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(settingsFile()));
    writeRaw("[Ports]\nCOM3=/dev/ttyUSB0\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), std::nullopt);
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, QStringLiteral("Software\\Other\\Place"),
                                       Value),
              std::nullopt);
}

TEST_F(SettingsStoreTest, valuesReadAsStoredUpToTheFirstNul) {
    writeRaw("[General]\nComPort=3\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("3"));
    writeRaw("[General]\nComPort=\n");
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QString());
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value,
                              QStringLiteral("4") + QChar(0) + QStringLiteral("x"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("4"));
}

TEST_F(SettingsStoreTest, aWriteCreatesThePathAndKeepsEveryOtherEntry) {
    EXPECT_FALSE(
        QFileInfo::exists(QFileInfo(settingsFile()).absolutePath() + QStringLiteral("/nothing")));
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("2"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("2"));

    writeRaw("[General]\nComPort=2\nOther=kept\n\n[Ports]\nCOM3=/dev/serial/by-id/usb-x-if00\n");
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("3"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), QStringLiteral("3"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, QStringLiteral("Other")),
              QStringLiteral("kept"));
    EXPECT_EQ(ModuleReg::mappedPortDevice(3), QStringLiteral("/dev/serial/by-id/usb-x-if00"));
    EXPECT_EQ(ModuleReg::mappedPortDevice(4), std::nullopt);
}

TEST_F(SettingsStoreTest, aFileThatCannotBeWrittenOrReadIsLeftAlone) {
    // A directory where the file should be.
    QDir().mkpath(settingsFile());
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("5"));
    EXPECT_EQ(ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value), std::nullopt);
    EXPECT_TRUE(QFileInfo(settingsFile()).isDir());
    QDir(settingsFile()).removeRecursively();

    // A read-only file (root ignores the permission bits, so the store looks at them itself).
    writeRaw("[General]\nComPort=7\n");
    QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner);
    ModuleReg::WriteRegString(HKEY_LOCAL_MACHINE, Path, Value, QStringLiteral("5"));
    QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(readRaw(), QByteArray("[General]\nComPort=7\n"));
}

TEST_F(SettingsStoreTest, garbageNeverCrashesAndTheWindowFallsBackToPort2) {
    const QByteArray garbage[] = {QByteArray("\x00\xff\xfe[[[=\n\x01", 9), "[General\nComPort",
                                  "ComPort=\"unterminated\n", QByteArray(70000, '[')};
    for (const QByteArray &content : garbage) {
        writeRaw(content);
        (void)ModuleReg::ReadRegString(HKEY_LOCAL_MACHINE, Path, Value);
        (void)ModuleReg::mappedPortDevice(1);
        frmProg window(std::make_unique<FakeSerialControl>(), std::make_unique<VirtualClock>());
        EXPECT_FALSE(window.findChild<QWidget *>(QStringLiteral("txtComPort")) == nullptr);
    }
}
