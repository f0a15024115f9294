// A board whose serial port goes with its power, through the command line: its port vanishes and
// comes back at the same link path, as a USB-powered board's does when it is unplugged.
#include "CliProcess.h"
#include "SRecordWriter.h"

#include <QJsonObject>
#include <ostream>

namespace {

struct Replug {
    const char *name;
    const char *simOptions; // besides --link, separated by blanks
    const char *cliOptions; // besides --device, --file and --json, separated by blanks
    bool simAfterCli;       // the board is plugged in only once the program waits for it
    int exitCode;
    int runs; // boards programmed, one per station round
    const char *said;
};

void PrintTo(const Replug &replug, std::ostream *out) {
    *out << replug.name;
}

QStringList words(const char *text) {
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

class CliReplug : public CliRig, public ::testing::WithParamInterface<Replug> {};

} // namespace

// One row each on real ptys (the cases in virtual time are in test_cli_follow.cpp): pulled and
// plugged in again during the countdown: programmed, image exact. Lost while the file goes out: a
// failure, with how far the board got. --wait: a board plugged in after the start. --repeat
// --on-plug: the next board starts by being plugged in, no Enter.
TEST_P(CliReplug, theBoardIsFollowedOutsideATransfer) {
    const Replug &replug = GetParam();
    const QByteArray data = randomData(1024, 7);
    const QString file = writeFile(SRecordWriter::file(data, 0x1000));
    const QString link = path(QStringLiteral("board"));
    const auto plugIn = [&]() -> SimProcess & {
        return startSim(QStringList{QStringLiteral("--link"), link} + words(replug.simOptions));
    };
    SimProcess *sim = replug.simAfterCli ? nullptr : &plugIn();
    Cli cli(QStringList{QStringLiteral("--device"), link, QStringLiteral("--file"), file,
                        QStringLiteral("--speed"), QStringLiteral("auto"), QStringLiteral("--json"),
                        QStringLiteral("--no-history")} +
            words(replug.cliOptions));
    if (replug.simAfterCli) {
        ASSERT_TRUE(cli.waitForError("is not there yet: plug the board in", 10'000));
        sim = &plugIn();
    }
    if (replug.runs > 1) {
        ASSERT_TRUE(cli.waitForError(
            QStringLiteral("Tally: %1 programmed").arg(replug.runs).toUtf8(), 30'000))
            << cli.err.toStdString();
        cli.type("q\n");
    }
    const int code = cli.finish(30'000);
    ASSERT_EQ(code, replug.exitCode) << cli.err.toStdString() << sim->log().toStdString();
    EXPECT_TRUE(
        QString::fromLocal8Bit(cli.err).simplified().contains(QString::fromLatin1(replug.said)))
        << cli.err.toStdString();
    if (code != 0)
        return;
    ASSERT_TRUE(sim->waitForRuns(replug.runs));
    EXPECT_EQ(sim->image(), data);
    if (const auto first = sim->waitForFirstProbeAfterPlug(1, 0))
        RecordProperty("first_probe_after_plug_ms", *first);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Boards, CliReplug, ::testing::Values(
    Replug{"pluggedAgainInTheCountdown", "--boot-delay 400 --replug 200,1000", "", false, 0, 1,
           "went away: waiting for it to come back"},
    Replug{"lostWhileTheFileGoesOut", "--hangup-after 20", "", false, 5, 0,
           "the device disappeared; the board got"},
    Replug{"pluggedInAfterTheStart", "", "--wait --boot-timeout 20", true, 0, 1, "is back"},
    Replug{"stationStartsTheNextBoardOnPlug", "--replug-after-run 2500 --runs 2",
           "--repeat --on-plug", false, 0, 2, "Plugged in: waiting up to 60 s"}),
    [](const ::testing::TestParamInfo<Replug> &info) { return info.param.name; });
// clang-format on
