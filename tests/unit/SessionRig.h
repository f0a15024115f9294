#pragma once

#include "FakeSerialControl.h"
#include "RecordingView.h"
#include "TestFiles.h"
#include "VirtualClock.h"
#include "session/ProgrammingSession.h"

#include <QList>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

// The session on a fake port in virtual time, as the window drives it: the rig of every session
// test. The port is open with one character per read.
class SessionRig : public ::testing::Test, public ScratchFolder {
protected:
    struct Write {
        std::int64_t at;
        QByteArray bytes;
    };

    SessionRig();

    // Writes `content` into the rig's folder and chooses it; the path.
    QString useFile(const QByteArray &content);
    // The start button as the window wires it.
    void press();
    void connectReset() { session->connectionChanged(); } // as a connect does
    void speed(int index) { session->setPacing(Pacing::fromSpeedIndex(index)); }
    // Starts a run and brings it to SendingFile; the file's bytes only are recorded from here, and
    // the transfer starts 1000 ms later, at `transferStart`.
    void toSendingFile();
    // Then lets the whole transfer run.
    void runToTheEnd();

    // Nothing the run armed is left: no timer due, whatever time passes.
    bool nothingArmed() const { return clock.nextDeadline() < 0; }
    int count(char c) const { return static_cast<int>(control.written.count(c)); }
    SessionState state() const { return session->state(); }
    RunResult lastEnd() const { return ends.constLast().result; }

    FakeSerialControl control;
    VirtualClock clock;
    SerialLink link{control, clock};
    RecordingView view;
    std::unique_ptr<ProgrammingSession> session;
    QList<RunSummary> ends;    // each runEnded, in order
    QStringList refusals;      // each startRefused
    std::vector<Write> writes; // from the transfer's start
    std::int64_t transferStart = 0;
};

// A well-formed two-line image: one data record and its termination record.
inline constexpr char TwoLineImage[] = "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n";
