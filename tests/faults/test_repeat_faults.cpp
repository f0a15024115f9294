// Many complete runs back to back in one program instance, headless: the real serial layer, timers
// and session, as a front end without widgets drives them. Nothing may build up from run to run.
#include "RecordingView.h"
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "TestFiles.h"
#include "Wait.h"
#include "clock/QtTimers.h"
#include "serial/QtSerialControl.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingRun.h"
#include "session/ProgrammingSession.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Real timers, with the protocol's deliberate waits cut to a tenth: the countdown's tick, the file
// command's third of a second and the file start's second. What this test is about is what one run
// leaves behind for the next, not the waits (tests/unit holds them in virtual time). The probes'
// pace and the dot watchdog, a bound on the device's silence, stay as they are.
class ShortWaits final : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer(int intervalMilliseconds) override {
        const bool deliberate = intervalMilliseconds == ProgrammingRun::CountdownTickMs ||
                                intervalMilliseconds == ProgrammingRun::FileCommandDelayMs ||
                                intervalMilliseconds == ProgrammingRun::FileStartDelayMs;
        return real_.createTimer(deliberate ? intervalMilliseconds / 10 : intervalMilliseconds);
    }
    std::int64_t now() const override { return real_.now(); }

private:
    QtTimerFactory real_;
};

} // namespace

TEST(FaultRepeat, twentyCompleteRunsBackToBackEachWithTheRightImage) {
    constexpr int Runs = 20;
    QTemporaryDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.start(
        {QStringLiteral("--boot-delay"), QStringLiteral("50"), QStringLiteral("--verbose")}))
        << sim.errorString().toStdString();
    ShortWaits timers;
    QtSerialControl control(timers);
    control.setDeviceOverride(sim.slavePath());
    SerialLink link(control, timers);
    ASSERT_TRUE(link.connectPort(0).ok());
    RecordingView view;
    ProgrammingSession session(link, timers, view);
    session.setPacing(Pacing::fromSpeedIndex(Pacing::AutoSpeedIndex));

    QList<RunResult> results;
    QObject::connect(&session, &ProgrammingSession::runEnded,
                     [&](const RunSummary &run) { results << run.result; });
    for (int run = 1; run <= Runs; ++run) {
        SCOPED_TRACE(run);
        // Each run a different image and length (5 to 24 data lines), so that a stale line or a
        // short image shows. Short images: what is tested is between the runs, and every line is a
        // round trip, which a busy machine makes slow.
        const QByteArray data = randomData(64 + 16 * run, static_cast<quint32>(run));
        const QString path = writeFileAt(dir.filePath(QStringLiteral("run%1.srec").arg(run)),
                                         SRecordWriter::file(data, 0x08000000 + 0x1000 * run));

        session.chooseFile(path);
        session.start();
        ASSERT_TRUE(waitUntil([&] { return results.size() == run; }, 10'000))
            << sim.log().toStdString();
        ASSERT_EQ(results.last(), RunResult::Programmed);
        ASSERT_TRUE(sim.waitForRuns(run));
        ASSERT_EQ(sim.image(), data);
    }
    EXPECT_EQ(sim.badLines(), 0);
    EXPECT_TRUE(view.boxes.isEmpty()) << view.boxes.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(view.notes.isEmpty()) << view.notes.toStdString();
    EXPECT_EQ(session.state(), SessionState::Idle);
}
