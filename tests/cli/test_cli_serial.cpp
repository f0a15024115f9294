// Each board its own number, through the command line and the simulator: what each board holds,
// and where the numbers of boards that were not programmed go.
#include "CliProcess.h"
#include "SRecordWriter.h"

#include <QJsonObject>

namespace {

struct Step {
    QList<QStringList> boards; // each board's simulator options
    int exitCode;
    QStringList serials; // each board's number; programmed boards hold it at 0x1010, le
};

class CliSerial : public CliRig {};

} // namespace

TEST_F(CliSerial, eachBoardGetsTheNextNumberAndAFailedBoardsNumberGoesToTheNext) {
    const QString file = writeFile(SRecordWriter::file(randomData(256, 9), 0x1000));
    const QStringList plain;
    const struct Case {
        const char *name;
        QList<Step> steps;
    } cases[] = {
        {"three boards in a row",
         {{{plain}, 0, {"1000"}}, {{plain}, 0, {"1001"}}, {{plain}, 0, {"1002"}}}},
        {"a failed board's number goes to the next",
         {{{{QStringLiteral("--stop-ack-after"), QStringLiteral("5")}}, 4, {"1000"}},
          {{plain}, 0, {"1000"}}}},
        {"two boards in one run", {{{plain, plain}, 0, {"1000", "1001"}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString counter = path(QStringLiteral("counter-%1").arg(&c - cases));
        for (const Step &step : c.steps) {
            QStringList arguments = {
                QStringLiteral("--file"),           file,
                QStringLiteral("--speed"),          QStringLiteral("auto"),
                QStringLiteral("--json"),           QStringLiteral("--no-history"),
                QStringLiteral("--serial"),         QStringLiteral("0x1010:le:4"),
                QStringLiteral("--serial-counter"), counter,
                QStringLiteral("--serial-start"),   QStringLiteral("1000")};
            std::vector<SimProcess *> boards;
            for (const QStringList &options : step.boards) {
                boards.push_back(&startSim(options));
                arguments << QStringLiteral("--device") << boards.back()->slavePath();
            }
            Cli cli(arguments);
            ASSERT_EQ(cli.finish(), step.exitCode) << cli.err.toStdString();
            const QJsonArray results = cli.json();
            for (qsizetype b = 0; b < step.serials.size(); ++b) {
                const QJsonObject result = results.at(b).toObject();
                EXPECT_EQ(result.value(QStringLiteral("serial")).toString(), step.serials[b]);
                EXPECT_EQ(result.value(QStringLiteral("serial_address")).toString(),
                          QStringLiteral("0x00001010"));
                EXPECT_TRUE(cli.err.contains(QStringLiteral("Board %1 gets serial %2")
                                                 .arg(result.value(QStringLiteral("board")).toInt())
                                                 .arg(step.serials[b])
                                                 .toUtf8()));
                if (result.value(QStringLiteral("exit_code")).toInt() != 0)
                    continue;
                ASSERT_TRUE(boards[static_cast<std::size_t>(b)]->waitForRuns(1));
                const quint32 number = step.serials[b].toUInt();
                QByteArray le;
                for (int shift = 0; shift < 32; shift += 8)
                    le += static_cast<char>(number >> shift);
                EXPECT_EQ(boards[static_cast<std::size_t>(b)]->image()->mid(0x10, 4), le);
            }
        }
    }
}
