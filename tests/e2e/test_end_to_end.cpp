// Complete runs of the window against the device simulator over a pseudo-terminal: the real serial
// layer, the real timers, the real session. What a misbehaving device, file or port does to a run
// is in tests/faults.
#include "FirmwareFiles.h"
#include "SRecordWriter.h"
#include "Wait.h"
#include "WindowRig.h"

#include "app/LogView.h"
#include "session/RunHistory.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSet>
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

// The window takes what a toolchain hands over: S-records as they are, Intel HEX and an ELF program
// as S-records made from them, said in the log before the countdown.
TEST_F(EndToEndTest, filesMadeByObjcopyAndAnElfProgram) {
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        GTEST_SKIP() << "objcopy is not installed";
    startDevice();
    openWindow();
    const QByteArray data = randomData(5000, 4);
    const QString bin = writeFile(data, QStringLiteral("data.bin"));
    const auto made = [&](const char *format, const QString &name) {
        const QString file = dir.filePath(name);
        EXPECT_EQ(QProcess::execute(objcopy, {QStringLiteral("-I"), QStringLiteral("binary"),
                                              QStringLiteral("-O"), QString::fromLatin1(format),
                                              QStringLiteral("--change-addresses"),
                                              QStringLiteral("0x8000"), bin, file}),
                  0);
        return file;
    };
    const struct {
        QString file;
        QString note; // none for S-records
    } cases[] = {
        {made("srec", QStringLiteral("objcopy.srec")), {}},
        {made("ihex", QStringLiteral("objcopy.hex")),
         QStringLiteral("objcopy.hex: Intel HEX, 5,000 bytes in 1 range, sent as 313 S1 records")},
        {writeFile(
             FirmwareFiles::elf(
                 {.entry = 0x8000, .segments = {{.physicalAddress = 0x8000, .contents = data}}}),
             QStringLiteral("app")),
         QStringLiteral("app: ELF, 5,000 bytes in 1 range, sent as 313 S1 records")},
    };
    int runs = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        choose(c.file);
        const qsizetype before = logText().size();
        EXPECT_EQ(run(30'000), Programmed);
        expectImage(++runs, data);
        const QString log = logText().mid(before);
        if (c.note.isEmpty())
            EXPECT_FALSE(log.contains(QStringLiteral(", sent as "))) << log.toStdString();
        else
            EXPECT_TRUE(log.trimmed().startsWith(c.note)) << log.left(200).toStdString();
    }
}

// The protocol's delays as the device saw them, in a run slow enough (each "." 150 ms after its
// line) to outlast the 3 s watchdog: the unit tests check these rules in virtual time, this checks
// that the real timers and serial layer keep them. The bounds allow for a loaded machine; the
// device's clock can only see a delay longer than the host's, never shorter.
TEST_F(EndToEndTest, aSlowRunKeepsTheProtocolsDelays) {
    startDevice({QStringLiteral("--ack-delay"), QStringLiteral("150")});
    openWindow();
    const QByteArray data = randomData(40 * 32, 5);
    choose(writeFile(srec(data)));

    // The start button from the prompt to the end: the countdown stopped at the prompt.
    QSet<QString> shownAfterPrompt;
    button("btnFlash")->click();
    waitUntil(
        [&] {
            const SessionState state = window->session().state();
            if (state == SessionState::WaitFileRequest || state == SessionState::SendingFile)
                shownAfterPrompt << button("btnFlash")->text();
            return caption() == Programmed || caption() == Failed;
        },
        30'000);
    ASSERT_EQ(caption(), Programmed) << sim->log().toStdString();
    EXPECT_EQ(shownAfterPrompt, QSet<QString>{QStringLiteral("CANCEL")});
    expectImage(1, data);

    const QJsonObject summary = sim->summary().value_or(QJsonObject{});
    const auto ms = [&summary](const char *name) {
        return summary.value(QLatin1String(name)).toInteger(-1);
    };
    // "f" 333 ms after the prompt.
    EXPECT_GE(ms("flash_after_prompt_ms"), 330);
    EXPECT_LE(ms("flash_after_prompt_ms"), 700);
    // The first line a second after "_".
    EXPECT_GE(ms("first_line_after_ready_ms"), 990);
    EXPECT_LE(ms("first_line_after_ready_ms"), 1500);
    // Lines went on well past the watchdog's 3 s: each "." restarted it.
    EXPECT_GE(ms("lines_span_ms"), 4000);
    EXPECT_LT(ms("longest_line_gap_ms"), 3000);
}

TEST_F(EndToEndTest, aCompleteRunLeavesItsLineInTheRunHistory) {
    // The test's own state folder (see test_main.cpp), never the user's.
    const QString history = RunHistory::defaultPath();
    ASSERT_TRUE(history.startsWith(qEnvironmentVariable("XDG_STATE_HOME")))
        << history.toStdString();
    const qsizetype before = historyLines(history).size();
    startDevice();
    openWindow();
    const QByteArray data = randomData(2048, 7);
    const QByteArray srec = SRecordWriter::file(data, 0x3000);
    const QString file = writeFile(srec);
    choose(file, 5);
    ASSERT_EQ(run(), Programmed);

    const QList<QJsonObject> lines = historyLines(history);
    ASSERT_EQ(lines.size(), before + 1);
    const QJsonObject line = lines.constLast();
    EXPECT_EQ(line.value(QStringLiteral("program")).toString(), QStringLiteral("tarnix-pellora"));
    EXPECT_EQ(line.value(QStringLiteral("device")).toString(), linkPath());
    EXPECT_EQ(line.value(QStringLiteral("port")).toInt(), Port);
    EXPECT_EQ(line.value(QStringLiteral("file")).toString(), file);
    const QString sha = sha256sum(file);
    ASSERT_FALSE(sha.isEmpty()) << "sha256sum is needed";
    EXPECT_EQ(line.value(QStringLiteral("sha256")).toString(), sha);
    EXPECT_EQ(line.value(QStringLiteral("file_size")).toInteger(), srec.size());
    EXPECT_EQ(line.value(QStringLiteral("bytes_sent")).toInteger(), srec.size());
    EXPECT_EQ(line.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
    EXPECT_TRUE(line.value(QStringLiteral("exit_code")).isNull());
}

TEST_F(EndToEndTest, anUnwritableRunHistoryIsNotedOnceAndFailsNoRun) {
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    writeFile("", QStringLiteral("state")); // a file where the folder should be
    qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toLocal8Bit());
    startDevice();
    openWindow();
    qputenv("XDG_STATE_HOME", saved);
    choose(writeFile(SRecordWriter::file(randomData(256, 8), 0)), 5);
    EXPECT_EQ(run(), Programmed);
    window->setWindowTitle(QString());
    EXPECT_EQ(run(), Programmed);
    EXPECT_EQ(logText().count(QStringLiteral("The run history cannot be written")), 1)
        << logText().toStdString();
}
