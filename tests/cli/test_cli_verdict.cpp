// The verdict against devices that talk during a transfer, restart in the middle of one, and files
// rewritten while they are sent: exit status 0 and "programmed" only for a device holding the file
// exactly as it was when the run started, and the table, the JSON and the history agree.
#include "CliProcess.h"
#include "SRecordWriter.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <functional>

namespace {

class CliVerdict : public CliRig {
protected:
    // A run of `file` on `sim`: the exit status and the board's JSON object.
    std::pair<int, QJsonObject> program(SimProcess &sim, const QString &file,
                                        const QString &speed = QStringLiteral("auto"),
                                        const std::function<void(Cli &)> &during = {}) {
        Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"), file,
                 QStringLiteral("--speed"), speed, QStringLiteral("--json"),
                 QStringLiteral("--history-file"), path(QStringLiteral("history.jsonl"))});
        if (during)
            during(cli);
        const int code = cli.finish(60'000);
        err = cli.err;
        return {code, cli.json().at(0).toObject()};
    }
    // The table's row and the JSON agree on the line counts and the result word.
    void expectTableAgrees(const QJsonObject &board) {
        const QRegularExpression row(
            QStringLiteral(" %1 +%2 +%3/%4 ")
                .arg(board.value(QStringLiteral("result")).toString())
                .arg(board.value(QStringLiteral("exit_code")).toInt())
                .arg(board.value(QStringLiteral("lines")).toInteger())
                .arg(board.value(QStringLiteral("lines_total")).toInteger()));
        EXPECT_TRUE(QString::fromLocal8Bit(err).contains(row))
            << row.pattern().toStdString() << "\n"
            << err.toStdString();
    }

    QByteArray err;
};

} // namespace

// Text holding a "P" from the device mid-transfer is device text: the whole file goes out and the
// run is programmed once the device answers its termination record.
TEST_F(CliVerdict, aDeviceThatTalksDuringTheTransferGetsTheWholeFile) {
    const QByteArray data = randomData(8192, 31);
    const QString file = writeFile(SRecordWriter::file(data, 0));
    const qsizetype lines = SRecordWriter::lines(data, 0).size();
    const QList<QStringList> devices = {
        {QStringLiteral("--noise"), QStringLiteral("Power ok\\r\\n"),
         QStringLiteral("--noise-in-run")},
        {QStringLiteral("--say"), QStringLiteral("\\x13P\\x88\\xfe\\x50"),
         QStringLiteral("--say-after"), QStringLiteral("100")},
    };
    for (const QStringList &device : devices) {
        SCOPED_TRACE(device.join(QLatin1Char(' ')).toStdString());
        SimProcess &sim = startSim(device);
        const auto [code, board] = program(sim, file);
        ASSERT_EQ(code, 0) << err.toStdString();
        EXPECT_EQ(board.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
        EXPECT_EQ(board.value(QStringLiteral("lines")).toInteger(), lines);
        EXPECT_EQ(board.value(QStringLiteral("lines_total")).toInteger(), lines);
        expectTableAgrees(board);
        ASSERT_TRUE(sim.waitForRuns(1));
        EXPECT_EQ(sim.image(), data);
    }
}

// A board that restarts after line 100 and prints a banner with a "P" and dots never reads as
// programmed: the run ends when the dots stop answering lines, with status 4.
TEST_F(CliVerdict, aBoardThatRestartsMidTransferIsNeverProgrammed) {
    const QByteArray data = randomData(2048, 32);
    const QString file = writeFile(SRecordWriter::file(data, 0));
    const qsizetype lines = SRecordWriter::lines(data, 0).size();
    SimProcess &sim = startSim({QStringLiteral("--restart-after"), QStringLiteral("100"),
                                QStringLiteral("--banner-interval"), QStringLiteral("500")});
    const auto [code, board] = program(sim, file, QStringLiteral("20"));
    EXPECT_EQ(code, 4) << err.toStdString();
    EXPECT_EQ(board.value(QStringLiteral("result")).toString(), QStringLiteral("ack-timeout"));
    EXPECT_EQ(board.value(QStringLiteral("lines_total")).toInteger(), lines);
    expectTableAgrees(board);
    EXPECT_EQ(sim.completedRuns(), 0);
    const QList<QByteArray> history = [this] {
        QFile f(path(QStringLiteral("history.jsonl")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>{};
    }();
    ASSERT_FALSE(history.isEmpty());
    EXPECT_EQ(QJsonDocument::fromJson(history.first()).object().value(QStringLiteral("result")),
              QStringLiteral("ack-timeout"));
}

// The file written over while it is sent, at several points of one transfer, with lines of the
// same lengths and other data (a build finishing during a flash): the device gets the file as it
// was at START, and the run's SHA-256 is that file's.
TEST_F(CliVerdict, aFileRewrittenWhileItIsSentNeverReachesTheDevice) {
    const QByteArray data = randomData(64 * 1024, 33);
    SRecordWriter::Options wide;
    wide.width = SRecordWriter::AddressWidth::Bits32;
    wide.bytesPerRecord = 32;
    const QByteArray text = SRecordWriter::file(data, 0x08000000, wide);
    const QString file = writeFile(text);
    const qsizetype lines = SRecordWriter::lines(data, 0x08000000, wide).size();
    // The device takes 1 ms a line: about two seconds for the whole file.
    SimProcess &sim =
        startSim({QStringLiteral("--ack-delay"), QStringLiteral("1"), QStringLiteral("--verbose")});
    const auto [code, board] = program(sim, file, QStringLiteral("auto"), [&](Cli &) {
        for (quint32 seed = 40; seed < 44; ++seed) {
            const qsizetype at = lines * (seed - 39) / 5; // a fifth, two fifths…
            ASSERT_TRUE(waitUntil([&] { return sim.linesReceived() >= at; }, 20'000));
            QFile over(file);
            ASSERT_TRUE(over.open(QIODevice::ReadWrite));
            const QByteArray other =
                SRecordWriter::file(randomData(data.size(), seed), 0x08000000, wide);
            ASSERT_EQ(other.size(), text.size());
            over.write(other);
        }
    });
    ASSERT_EQ(code, 0) << err.toStdString();
    ASSERT_TRUE(sim.waitForRuns(1));
    EXPECT_EQ(sim.image(), data) << "the file as it was at START, never a mix";
    EXPECT_EQ(
        board.value(QStringLiteral("sha256")).toString(),
        QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
}
