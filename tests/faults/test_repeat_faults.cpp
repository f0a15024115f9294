// Many complete runs back to back in one program instance, headless: the real serial layer, timers
// and session, as a front end without widgets drives them. Nothing may build up from run to run.
#include "QuietView.h"
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "Wait.h"
#include "platform/QtTimers.h"
#include "serial/QtSerialControl.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(FaultRepeat, twentyCompleteRunsBackToBackEachWithTheRightImage) {
    constexpr int Runs = 20;
    QTemporaryDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.start(
        {QStringLiteral("--boot-delay"), QStringLiteral("50"), QStringLiteral("--verbose")}))
        << sim.errorString().toStdString();
    QtSerialControl control;
    control.setDeviceOverride(sim.slavePath());
    SerialLink link(control);
    ASSERT_TRUE(link.connect(0).ok());
    QtTimerFactory timers;
    QuietView view;
    ProgrammingSession session(link, timers, view);
    session.setPacing(Pacing::fromSpeedIndex(Pacing::AutoSpeedIndex));

    QList<RunResult> results;
    QObject::connect(&session, &ProgrammingSession::runEnded,
                     [&](const RunSummary &run) { results << run.result; });
    for (int run = 1; run <= Runs; ++run) {
        SCOPED_TRACE(run);
        // Each run a different image and length, so that a stale line or a short image shows.
        QRandomGenerator random(static_cast<quint32>(run));
        QByteArray data(512 + 64 * run, '\0');
        for (char &c : data)
            c = static_cast<char>(random.bounded(256));
        const QString path = dir.filePath(QStringLiteral("run%1.srec").arg(run));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(SRecordWriter::file(data, 0x08000000 + 0x1000 * run));
        file.close();

        session.chooseFile(path);
        session.start();
        ASSERT_TRUE(waitUntil([&] { return results.size() == run; }, 10'000))
            << sim.log().toStdString();
        ASSERT_EQ(results.last(), RunResult::Programmed);
        ASSERT_TRUE(sim.waitForRuns(run));
        ASSERT_EQ(sim.image(), data);
    }
    EXPECT_EQ(sim.badLines(), 0);
    EXPECT_EQ(view.boxes, 0);
    EXPECT_TRUE(view.notes.isEmpty()) << view.notes.toStdString();
    EXPECT_EQ(session.state(), SessionState::Idle);
}
