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
            QStringLiteral(" %1 +\\S+ +%2 +%3/%4 ")
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
// the last record with keep-alive dots, text mid-transfer) are programmed with the exact image. The
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
    TalkingDevice{"lineNoiseWithAP", "--say \\x13P\\x88\\xfe\\x50 --say-after 100", "auto", 0}),
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

// After "P" the application's words decide whether the board is proven to boot: its greeting (the
// named groups in the JSON), a fault, or silence. A board that restarted mid-transfer into a banner
// of dots and "P" that never stops is never proven with --expect, and fails --strict.
TEST_F(CliVerdict, theApplicationsWordsProveTheBoardBoots) {
    const QByteArray data = randomData(1024, 35); // 66 lines
    const QString file = writeFile(SRecordWriter::file(data, 0));
    const QStringList expectApp = {
        QStringLiteral("--expect"),        QStringLiteral("^App (?<version>\\S+) uid=(?<uid>\\S+)"),
        QStringLiteral("--reject"),        QStringLiteral("HardFault|panic"),
        QStringLiteral("--expect-within"), QStringLiteral("3")};
    const QStringList banner = {QStringLiteral("--restart-after"), QStringLiteral("50"),
                                QStringLiteral("--banner-interval"), QStringLiteral("700")};
    const struct {
        const char *name;
        QStringList sim, cli;
        int exitCode;
        const char *boot; // the JSON's boot result; null: no boot check
        bool warned;
    } cases[] = {
        {"greets",
         {QStringLiteral("--app-banner"), QStringLiteral("App 2.4.1 uid=0042A1\\r\\n"),
          QStringLiteral("--app-delay"), QStringLiteral("300")},
         expectApp,
         0,
         "booted",
         false},
        {"says nothing", {}, expectApp, 7, "silent", false},
        {"reports a fault",
         {QStringLiteral("--app-banner"), QStringLiteral("HardFault at 0x08001234\\r\\n")},
         expectApp,
         7,
         "fault",
         false},
        {"restarts into a banner that never stops", banner, expectApp, 7, "silent", true},
        {"the same, --strict without --expect",
         banner,
         {QStringLiteral("--strict")},
         7,
         nullptr,
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SimProcess &sim = startSim(c.sim);
        Cli cli(QStringList{QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                            file, QStringLiteral("--speed"), QStringLiteral("auto"),
                            QStringLiteral("--json"), QStringLiteral("--no-history")} +
                c.cli);
        ASSERT_EQ(cli.finish(60'000), c.exitCode) << cli.err.toStdString();
        const QJsonObject board = cli.json().at(0).toObject();
        EXPECT_EQ(board.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
        const QJsonObject boot = board.value(QStringLiteral("boot")).toObject();
        EXPECT_EQ(boot.value(QStringLiteral("result")).toString(),
                  QString::fromLatin1(c.boot ? c.boot : ""));
        EXPECT_EQ(!board.value(QStringLiteral("warnings")).toArray().isEmpty(), c.warned);
        if (c.exitCode == 0) {
            EXPECT_EQ(boot.value(QStringLiteral("groups")).toObject(),
                      QJsonObject({{"version", "2.4.1"}, {"uid", "0042A1"}}));
            EXPECT_EQ(sim.image(), data);
        } else {
            EXPECT_FALSE(board.value(QStringLiteral("error")).toString().isEmpty());
        }
    }
}
