// Complete runs of the window against the device simulator over a pseudo-terminal: the real serial
// layer, the real timers, the real session. What a misbehaving device, file or port does to a run
// is in tests/faults.
#include "SRecordWriter.h"
#include "WindowRig.h"

#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

namespace {

class EndToEndTest : public WindowRig {
protected:
    // Completed run number `runs` left exactly `data` in the device, and nothing malformed came.
    void expectImage(int runs, const QByteArray &data) {
        ASSERT_TRUE(sim->waitForRuns(runs)) << sim->log().toStdString();
        EXPECT_EQ(sim->image(), data);
        expectNoBadLines();
    }
};

} // namespace

TEST_F(EndToEndTest, fastestPacingWithS1Records) {
    startDevice({QStringLiteral("--boot-delay"), QStringLiteral("100")});
    openWindow();
    const QByteArray data = randomData(1024, 1);
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits16;
    choose(writeFile(SRecordWriter::file(data, 0x1000, options)), 0);
    EXPECT_EQ(run(), Programmed);
    expectImage(1, data);
    EXPECT_TRUE(
        logText().contains(QStringLiteral("Programmed successfully! Restarting device....")));
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(button("btnFlash")->isEnabled());
}

TEST_F(EndToEndTest, autoPacingWithS2AndS3RecordsAndCrLfLines) {
    startDevice();
    openWindow();
    const QByteArray data = randomData(32 * 1024, 2);
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits24;
    options.lineEnding = "\r\n";
    choose(writeFile(SRecordWriter::file(data, 0x20000, options)));
    EXPECT_EQ(run(30'000), Programmed);
    expectImage(1, data);
    // One "." per line in the log.
    const int lines = static_cast<int>(SRecordWriter::lines(data, 0x20000, options).size());
    EXPECT_EQ(logText().count(QLatin1Char('.')) - 4, lines); // the closing text has four

    // A second run right after, with 32-bit addresses, in the same window.
    const QByteArray more = randomData(8 * 1024, 3);
    choose(writeFile(srec(more), QStringLiteral("second.srec")));
    EXPECT_EQ(run(30'000), Programmed);
    expectImage(2, more);
}

TEST_F(EndToEndTest, aFileMadeByObjcopy) {
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        GTEST_SKIP() << "objcopy is not installed";
    startDevice();
    openWindow();
    const QByteArray data = randomData(5000, 4);
    const QString bin = writeFile(data, QStringLiteral("data.bin"));
    const QString file = dir.filePath(QStringLiteral("objcopy.srec"));
    ASSERT_EQ(QProcess::execute(objcopy, {QStringLiteral("-I"), QStringLiteral("binary"),
                                          QStringLiteral("-O"), QStringLiteral("srec"),
                                          QStringLiteral("--change-addresses"),
                                          QStringLiteral("0x8000"), bin, file}),
              0);
    choose(file);
    EXPECT_EQ(run(30'000), Programmed);
    expectImage(1, data);
}
