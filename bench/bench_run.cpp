// A complete programming run against the device simulator, headless: the real serial layer, timers
// and session, with a view that only counts. Prints the time of the run and the line rate.
//   bench_run [data-bytes] [bytes-per-record] [speed-index] [simulator options...]
#include "RecordingView.h"
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "platform/QtTimers.h"
#include "serial/QtSerialControl.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

class CountingView final : public RecordingView {
public:
    CountingView() { recording = false; }
    void showStage(Stage stage) override { lastStatus = toString(stage); }
    void appendReceived(const QByteArray &bytes) override { received += bytes.size(); }
    void showCommError(int code) override { std::fprintf(stderr, "COM error %d\n", code); }

    int speed = 5;
    qint64 received = 0;
    QString lastStatus;
};

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int dataBytes = args.size() > 1 ? args[1].toInt() : 1024 * 1024;
    const int perRecord = args.size() > 2 ? args[2].toInt() : 32;
    CountingView view;
    view.speed = args.size() > 3 ? args[3].toInt() : 5;
    QStringList simArgs = args.mid(4);
    simArgs << QStringLiteral("--boot-delay") << QStringLiteral("20");

    QByteArray data(dataBytes, '\0');
    for (char &c : data)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits32;
    options.bytesPerRecord = perRecord;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.srec"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(SRecordWriter::file(data, 0x08000000, options));
    }

    SimProcess sim;
    if (!sim.start(simArgs)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    QtSerialControl control;
    control.setDeviceOverride(sim.slavePath());
    SerialLink link(control);
    if (const SerialStatus opened = link.connect(0); !opened) {
        std::fprintf(stderr, "%s\n", qPrintable(opened.description()));
        return 1;
    }
    QtTimerFactory timers;
    ProgrammingSession session(link, timers, view);
    session.setPacing(Pacing::fromSpeedIndex(view.speed));
    session.chooseFile(path);

    QElapsedTimer total;
    QElapsedTimer streaming;
    qint64 lines = 0, bytes = 0;
    QObject::connect(&session, &ProgrammingSession::lineSent,
                     [&](qint64 line, qint64, qint64 lineBytes) {
                         if (line == 1)
                             streaming.start();
                         lines = line;
                         bytes += lineBytes;
                     });
    RunResult result = RunResult::Cancelled;
    QObject::connect(&session, &ProgrammingSession::runEnded, [&](const RunSummary &run) {
        result = run.result;
        app.quit();
    });
    QTimer::singleShot(0, [&] {
        total.start();
        session.start();
    });
    app.exec();
    const double streamSeconds = static_cast<double>(streaming.nsecsElapsed()) / 1e9;
    const bool imageOk = sim.waitForRuns(1, 5000) && sim.image() == data;

    std::printf(
        "| data | lines | speed | result | image | run s | streaming s | lines/s | bytes/s |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    std::printf("| %d B | %lld | %d | %s | %s | %.2f | %.2f | %.0f | %.0f |\n", dataBytes,
                static_cast<long long>(lines), view.speed, qPrintable(toString(result)),
                imageOk ? "equal" : "DIFFERENT", static_cast<double>(total.nsecsElapsed()) / 1e9,
                streamSeconds, static_cast<double>(lines) / streamSeconds,
                static_cast<double>(bytes) / streamSeconds);
    sim.stop();
    return result == RunResult::Programmed && imageOk ? 0 : 1;
}
