#pragma once

#include "FakeSerialControl.h"
#include "RecordingView.h"
#include "TestFiles.h"
#include "VirtualClock.h"
#include "session/ProgrammingSession.h"

#include <QList>
#include <functional>
#include <gtest/gtest.h>
#include <map>
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

    // A device that answers the lines it is sent, in virtual time.
    using Timeline = std::multimap<std::int64_t, QByteArray>; // ms -> text; Unplug, PlugIn: events
    static inline const QByteArray Unplug = "\x01unplug";
    static inline const QByteArray PlugIn = "\x01plug";
    struct Device {
        int lines; // of the file, the last one its termination record
        // What the device says to line n (from 1) and how much later; what it says after the last
        // line, and from the start of the transfer, on its own.
        std::function<QByteArray(int n, const QByteArray &line)> answer;
        int answerDelayMs = 0;
        Timeline afterLastLine = {}, fromTransferStart = {};
    };
    // Starts a run of a file of `device.lines` lines at `speedIndex` and plays the device, a
    // millisecond at a time, until the run ends or `limitMs` pass. When the last line went out, or
    // -1.
    std::int64_t playDevice(const Device &device, int speedIndex, std::int64_t limitMs = 200'000);
    int linesTaken = 0; // by the device, in the last playDevice

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

// Data record n of an image: 16 bytes at 16 * n.
QByteArray dataRecord(int n);

// A well-formed two-line image: one data record and its termination record.
inline constexpr char TwoLineImage[] = "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n";
