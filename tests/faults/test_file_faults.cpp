// The chosen file going wrong: changed under the transfer, not an S-record file, or not readable.
// Whatever the file does, nothing malformed may reach the device.
#include "SRecordWriter.h"
#include "TestPty.h"
#include "WindowRig.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <functional>
#include <unistd.h>

namespace {

class FaultFile : public WindowRig {
protected:
    void SetUp() override {
        WindowRig::SetUp();
        ASSERT_NO_FATAL_FAILURE(startDevice());
        ASSERT_NO_FATAL_FAILURE(openWindow());
    }

    // Calls `change` once, right after line `line` of the transfer was handed over.
    void atLine(qint64 line, std::function<void()> change) {
        auto once = std::make_shared<bool>(false);
        QObject::connect(&window->session(), &ProgrammingSession::lineSent, window.get(),
                         [=](qint64 sent, qint64, qint64) {
                             if (sent == line && !*once) {
                                 *once = true;
                                 change();
                             }
                         });
    }

    // An image large enough that the streamer has not read its end yet when line 3 goes out.
    static QByteArray bigImage(quint32 seed) { return randomData(100 * 1024, seed); }
    static constexpr int WideRecords = 250;

    static QString refusal(qsizetype line) {
        return QStringLiteral("File refused: line %1 is not a valid S-record").arg(line);
    }
    // The 1-based number of the line that holds byte `offset`.
    static qsizetype lineAt(const QByteArray &text, qsizetype offset) {
        return text.left(offset).count('\n') + 1;
    }
};

} // namespace

TEST_F(FaultFile, aFileThatVanishes) {
    // Before the transfer: nothing is sent and the run fails.
    const QString early = writeFile(srec(randomData(1024, 20)), QStringLiteral("early.srec"));
    choose(early);
    QObject::connect(&window->session(), &ProgrammingSession::stateChanged, window.get(),
                     [&](SessionState s) {
                         if (s == SessionState::SendingFile)
                             QFile::remove(early);
                     });
    EXPECT_EQ(run(), Failed);
    EXPECT_EQ(results, QList<RunResult>{RunResult::FileError});
    EXPECT_EQ(sim->linesReceived(), 0);
    EXPECT_TRUE(logText().contains(early + QStringLiteral(": cannot read the file (no such file)")))
        << logText().right(300).toStdString();
    EXPECT_TRUE(boxes().isEmpty()) << "the failure is shown at once, not as a DOT Timeout";

    // During the transfer: the open file is still there to read, and all of it is sent.
    const QByteArray data = bigImage(21);
    const QString late = writeFile(srec(data, WideRecords), QStringLiteral("late.srec"));
    choose(late);
    atLine(3, [late] { QFile::remove(late); });
    const int runs = sim->completedRuns();
    EXPECT_EQ(run(), Programmed);
    ASSERT_TRUE(sim->waitForRuns(runs + 1));
    EXPECT_EQ(sim->image(), data);
    expectNoBadLines();
}

TEST_F(FaultFile, aFileCutShortMidTransferSendsNoPartialLine) {
    const QByteArray text = srec(bigImage(22), WideRecords);
    const QString path = writeFile(text);
    choose(path);
    const qsizetype cut =
        text.indexOf('\n', 150 * 1024) - 100; // inside a line, past the read-ahead
    atLine(3, [path, cut] { QFile::resize(path, cut); });
    EXPECT_EQ(run(), Failed);
    expectNoBadLines();
    EXPECT_EQ(sim->linesReceived(), lineAt(text, cut) - 1) << "every whole line, then nothing";
    EXPECT_TRUE(logText().contains(refusal(lineAt(text, cut))))
        << logText().right(300).toStdString();
    EXPECT_EQ(results, QList<RunResult>{RunResult::FileError});
    replaceDevice(); // the board was left mid-file: the operator power-cycles it
    programAfterwards();
}

TEST_F(FaultFile, aFileThatGrowsMidTransfer) {
    const QByteArray data = bigImage(23);
    const QByteArray text = srec(data, WideRecords);
    const qsizetype half = text.indexOf('\n', 100 * 1024) + 1;

    // Whole lines appended before the streamer gets there are sent as well.
    const QString whole = writeFile(text.left(half), QStringLiteral("whole.srec"));
    choose(whole);
    atLine(3, [whole, rest = text.mid(half)] {
        QFile file(whole);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(rest);
    });
    const int runs = sim->completedRuns();
    EXPECT_EQ(run(), Programmed);
    ASSERT_TRUE(sim->waitForRuns(runs + 1));
    EXPECT_EQ(sim->image(), data);

    // A writer still inside a line when the streamer reaches the end: that half line is not sent.
    const QString partial = writeFile(text.left(half), QStringLiteral("partial.srec"));
    choose(partial);
    atLine(3, [partial, piece = text.mid(half, 60)] {
        QFile file(partial);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(piece);
    });
    const int before = sim->linesReceived();
    EXPECT_EQ(run(), Failed);
    expectNoBadLines();
    EXPECT_EQ(sim->linesReceived() - before, lineAt(text, half) - 1);
    EXPECT_TRUE(logText().contains(refusal(lineAt(text, half))));
    EXPECT_EQ(results.last(), RunResult::FileError);
    replaceDevice();
    programAfterwards();
}

TEST_F(FaultFile, filesThatAreNotSRecordsAreRefusedBeforeAnythingIsSent) {
    struct Case {
        const char *name;
        QByteArray content;
        int refusedLine;
        QString reason;
    };
    QByteArray binary = randomData(4096, 24);
    binary[0] = '\x01';
    const QByteArray header = SRecordWriter::record('0', 0, "hdr");
    QList<QByteArray> badSum = SRecordWriter::lines(randomData(96, 25), 0x1000);
    badSum[2].back() = badSum[2].back() == '0' ? '1' : '0';
    const Case cases[] = {
        {"binary", binary, 1, {}},
        {"a 1 MB line",
         header + '\n' + "S3" + QByteArray(1 << 20, 'A') + '\n' +
             SRecordWriter::record('7', 0, {}) + '\n',
         2,
         {}},
        {"Intel HEX", ":10010000214601360121470136007EFE09D2190140\n:00000001FF\n", 1, {}},
        {"a bad checksum", badSum.join('\n') + '\n', 3, QStringLiteral(" (bad checksum)")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        dismissBoxes();
        choose(writeFile(c.content, QStringLiteral("refused.srec")));
        results.clear();
        const int before = sim->linesReceived();
        button("btnFlash")->click();
        ASSERT_TRUE(waitUntil([&] { return !results.isEmpty(); }, 10'000));
        EXPECT_EQ(results, QList<RunResult>{RunResult::FileError});
        EXPECT_EQ(window->session().state(), SessionState::Idle);
        EXPECT_EQ(sim->linesReceived(), before) << "nothing of the file reached the device";
        EXPECT_EQ(caption(), Failed);
        EXPECT_TRUE(logText().contains(refusal(c.refusedLine) + c.reason))
            << logText().right(200).toStdString();
    }
    // What the operator sees: the failure at once in the caption, and no box after it.
    EXPECT_EQ(caption(), Failed);
    EXPECT_TRUE(boxes().isEmpty());
    expectNoBadLines();
    programAfterwards();
}

TEST_F(FaultFile, aFileThatCannotBeReadFailsTheRunAndSendsNothing) {
    // A folder where the file was (permissions would not stop root).
    const QString folder = dir.filePath(QStringLiteral("folder.srec"));
    ASSERT_TRUE(QDir().mkpath(folder));
    choose(folder);
    EXPECT_EQ(run(), Failed);
    EXPECT_EQ(results, QList<RunResult>{RunResult::FileError});
    EXPECT_EQ(sim->linesReceived(), 0);

    if (::geteuid() != 0) {
        dismissBoxes();
        const QString locked = writeFile(srec(randomData(256, 26)), QStringLiteral("locked.srec"));
        QFile::setPermissions(locked, {});
        choose(locked);
        EXPECT_EQ(run(), Failed);
        EXPECT_EQ(results.last(), RunResult::FileError);
        EXPECT_EQ(sim->linesReceived(), 0);
    }
    programAfterwards();
}
