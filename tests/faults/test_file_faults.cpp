// The chosen file going wrong: changed under the transfer, not firmware, or not readable.
// Whatever the file does, nothing malformed may reach the device.
#include "FileChanges.h"
#include "SRecordWriter.h"
#include "TestPty.h"
#include "WindowRig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <functional>
#include <optional>
#include <utility>

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

    // An image of a few hundred lines: changes at line 3 fall well inside the transfer.
    static QByteArray bigImage(quint32 seed) { return randomData(100 * 1024, seed); }
    static constexpr int WideRecords = 250;

    static QString refusal(qsizetype line) {
        return QStringLiteral("File refused: line %1 is not a valid S-record").arg(line);
    }
};

} // namespace

// The file changing on disk while it is sent (a build finishing, a copy cut short, the file
// removed): what START read is what the device gets, whole, and the run is programmed.
TEST_F(FaultFile, aFileChangedDuringTheRunNeverReachesTheDevice) {
    const QByteArray data = bigImage(21);
    const QByteArray text = srec(data, WideRecords);
    // The same line lengths, other data: a mix would pass every per-line check.
    const QByteArray other = srec(bigImage(22), WideRecords);
    ASSERT_EQ(other.size(), text.size());
    struct Case {
        const char *name;
        int atLine; // 0: as soon as the device asks for the file
        std::function<void(const QString &path)> change;
    };
    const Case cases[] = {
        {"removed before the transfer", 0, [](const QString &path) { QFile::remove(path); }},
        {"rewritten in place", 3, overwriteWith(other)},
        {"cut inside a line", 3, overwriteWith(text.left(text.indexOf('\n', 50 * 1024) - 100))},
        {"grown", 3, overwriteWith(text + other)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = writeFile(text, QString::fromLatin1(c.name) + QStringLiteral(".srec"));
        choose(path);
        if (c.atLine == 0) {
            QObject::connect(&window->session(), &ProgrammingSession::stateChanged, window.get(),
                             [path, change = c.change, done = false](SessionState s) mutable {
                                 if (s == SessionState::SendingFile && !std::exchange(done, true))
                                     change(path);
                             });
        } else {
            atLine(c.atLine, [path, change = c.change] { change(path); });
        }
        const int runs = sim->completedRuns();
        ASSERT_EQ(run(), Programmed) << logText().right(300).toStdString();
        ASSERT_TRUE(sim->waitForRuns(runs + 1));
        EXPECT_EQ(sim->image(), data) << "the file as it was at START";
        expectNoBadLines();
        newWindow(); // drops this case's change hook
        button("btnCon")->click();
    }
}

// A file that cannot program the device is refused when START is pressed, before the operator
// restarts the board: no countdown and no probe, the failure in the caption at once, one note with
// the file, the line and the reason, and no box.
TEST_F(FaultFile, filesThatCannotBeSentAreRefusedAtStart) {
    struct Case {
        const char *name;
        std::optional<QByteArray> content; // none: a folder where the file was
        QString reason;
    };
    QByteArray binary = randomData(4096, 24);
    binary[0] = '\x01';
    const QByteArray header = SRecordWriter::record('0', 0, "hdr");
    QList<QByteArray> badSum = SRecordWriter::lines(randomData(96, 25), 0x1000);
    badSum[2].back() = badSum[2].back() == '0' ? '1' : '0';
    const Case cases[] = {
        {"binary", binary,
         QStringLiteral("is a raw binary, which holds no addresses: tarnix-pellora-cli sends one "
                        "with the address of its first byte, --binary-base ADDRESS")},
        {"a 1 MB line",
         header + '\n' + "S3" + QByteArray(1 << 20, 'A') + '\n' +
             SRecordWriter::record('7', 0, {}) + '\n',
         refusal(2)},
        {"Intel HEX cut short", ":10010000214601360121470136007EFE09D2\n:00000001FF\n",
         QStringLiteral(" is cut short: it holds 13 of the 16 data bytes its count announces")},
        {"a bad checksum", badSum.join('\n') + '\n',
         refusal(3) + QStringLiteral(" (bad checksum)")},
        {"empty", QByteArray(), QStringLiteral("the file is empty")},
        {"a header only", header + '\n', QStringLiteral("no data record (S1, S2 or S3)")},
        {"a folder", std::nullopt, QStringLiteral("cannot read the file (not a regular file)")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QString path =
            dir.filePath(QStringLiteral("refused-%1.srec").arg(QString::fromLatin1(c.name)));
        if (c.content)
            path = writeFile(*c.content, QFileInfo(path).fileName());
        else
            ASSERT_TRUE(QDir().mkpath(path));
        choose(path);
        const qsizetype logBefore = logText().size();
        const QString before = sim->log();
        button("btnFlash")->click();
        EXPECT_EQ(caption(), Failed) << "at once";
        EXPECT_FALSE(window->session().running());
        EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
        EXPECT_TRUE(button("btnFlash")->isEnabled());
        const QString note = logText().mid(logBefore);
        EXPECT_TRUE(note.contains(path) && note.contains(c.reason)) << note.toStdString();
        EXPECT_FALSE(note.trimmed().contains(QLatin1Char('\n'))) << "one note";
        waitUntil([] { return false; }, 300); // a probe would have reached the device by now
        EXPECT_EQ(sim->log(), before) << "not a byte reached the device";
    }
    EXPECT_TRUE(results.isEmpty()) << "no run started";
    EXPECT_TRUE(boxes().isEmpty());
    expectNoBadLines();
    programAfterwards();
}
