// The verdict against devices that talk in their own ways, restart in the middle of a transfer, and
// files rewritten while they are sent: exit status 0 and "programmed" only for a device holding the
// file exactly as it was when the run started, and the table, the JSON and the history agree.
#include "CliProcess.h"
#include "SRecordWriter.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <functional>
#include <ostream>

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

// Devices that speak the protocol their own way (an echo, a text per line, a flash written after
// the last record with keep-alive dots, text mid-transfer) are programmed with the exact image; a
// board that restarts mid-transfer and prints a banner with a "P" and dots is never programmed. The
// table and the JSON agree, and so does the history.
struct TalkingDevice {
    const char *name;
    const char *options; // the simulator's, separated by blanks
    const char *speed;
    int exitCode;
};

void PrintTo(const TalkingDevice &device, std::ostream *out) {
    *out << device.name;
}

class CliTalkingDevice : public CliVerdict, public ::testing::WithParamInterface<TalkingDevice> {};

TEST_P(CliTalkingDevice, isJudgedByWhatItSaysNotHowItSaysIt) {
    const TalkingDevice &device = GetParam();
    const QByteArray data = randomData(2048, 31);
    const QString file = writeFile(SRecordWriter::file(data, 0));
    const qsizetype lines = SRecordWriter::lines(data, 0).size();
    SimProcess &sim = startSim(QString::fromLatin1(device.options).split(QLatin1Char(' ')));
    const auto [code, board] = program(sim, file, QString::fromLatin1(device.speed));
    ASSERT_EQ(code, device.exitCode) << err.toStdString();
    EXPECT_EQ(board.value(QStringLiteral("lines_total")).toInteger(), lines);
    expectTableAgrees(board);
    const QList<QByteArray> history = [this] {
        QFile f(path(QStringLiteral("history.jsonl")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>{};
    }();
    ASSERT_FALSE(history.isEmpty());
    EXPECT_EQ(QJsonDocument::fromJson(history.first()).object().value(QStringLiteral("result")),
              board.value(QStringLiteral("result")));
    if (code != 0) {
        EXPECT_EQ(board.value(QStringLiteral("result")).toString(), QStringLiteral("ack-timeout"));
        EXPECT_EQ(sim.completedRuns(), 0);
        return;
    }
    EXPECT_EQ(board.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
    EXPECT_EQ(board.value(QStringLiteral("lines")).toInteger(), lines);
    ASSERT_TRUE(sim.waitForRuns(1));
    EXPECT_EQ(sim.image(), data);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Devices, CliTalkingDevice, ::testing::Values(
    TalkingDevice{"echo", "--echo", "auto", 0},
    TalkingDevice{"echoWithLineFeed", "--echo-lf", "20", 0},
    TalkingDevice{"answersOK", "--answer OK.\\r\\n", "auto", 0},
    TalkingDevice{"slowFinalWrite", "--commit-time 5 --keepalive-ms 1000", "auto", 0},
    TalkingDevice{"talksBeforeEveryAnswer", "--noise Power\\x20ok\\r\\n --noise-in-run", "auto", 0},
    TalkingDevice{"lineNoiseWithAP", "--say \\x13P\\x88\\xfe\\x50 --say-after 100", "auto", 0},
    TalkingDevice{"restartsAfterLine100WithABanner",
                  "--restart-after 100 --banner-interval 1500 --banner-for 3000", "20", 4}),
    [](const ::testing::TestParamInfo<TalkingDevice> &info) { return info.param.name; });
// clang-format on

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
