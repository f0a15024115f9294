#pragma once

#include "clock/Deadline.h"
#include "clock/Timer.h"
#include "serial/SerialLink.h"
#include "session/FileSnapshot.h"
#include "session/Pacing.h"
#include "session/RunSummary.h"
#include "session/SessionTypes.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

// Why a transfer stopped before the end of its file: the result it gives the run, and a note that
// names the file (or the device) and the reason.
struct StreamFailure {
    RunResult result = RunResult::FileError;
    QString note;
};

// Sends one file line by line on a link, each line followed by one line feed in the same write,
// paced as its owner says. It runs on the event loop: between lines it returns to the loop, so the
// receive handler, the timers and the operator's clicks run meanwhile. It knows nothing of its
// owner: values come in through its methods, events go out through its callbacks.
class FileStreamer {
public:
    struct Events {
        std::function<void(qint64 line, qint64 total, qint64 bytes)> lineSent;
        // After each line, the share of the file sent so far, in percent.
        std::function<void(double percent)> progress;
        std::function<void(const StreamFailure &failure)> failed;
    };

    enum class Extent {
        WholeFile,
        // The first line only, as it is: the operator tries a line out by hand while no run is on.
        FirstLineAsIs,
    };

    FileStreamer(SerialLink &link, TimerFactory &timers, Events events);
    ~FileStreamer();
    FileStreamer(const FileStreamer &) = delete;
    FileStreamer &operator=(const FileStreamer &) = delete;

    // One complete transfer of the snapshot's lines (its report says how many: up to the last line
    // that is not blank). A transfer already running is left alone: two would interleave their
    // files on the line.
    void start(std::shared_ptr<const FileSnapshot> snapshot, Extent extent = Extent::WholeFile);
    bool running() const { return snapshot_ != nullptr; }

    // Takes effect from the next pause.
    void setPacing(const Pacing &pacing) { pacing_ = pacing; }

    // The device acknowledged a line. The flag stays set until a pause that waits for it uses it.
    void lineAcknowledged();
    // The receive handler has drained the port: an acknowledgement it saw lets the next line go
    // now.
    void receiveHandled();
    // Everything written has reached the operating system.
    void outputDrained();
    // Stops at once without sending anything more.
    void abort() { stop(); }

private:
    enum class Wait { None, Drain, Pause, Ack, NextLine };

    void sendNextLine();
    QByteArray withLineEnd(QByteArrayView line);
    void startPause();
    // Shows the progress of the line just done; true while the transfer goes on.
    bool finishLine();
    void stepToNextLine();
    void continueAfterLine();
    void stop();
    void fail(RunResult result, const QString &note);
    void arm(Timer &timer, int milliseconds, Wait wait);

    SerialLink &link_;
    Events events_;
    std::unique_ptr<Timer> pauseTimer_;
    std::unique_ptr<Timer> stepTimer_;
    // "Auto - fast": the wait for each line's "." (see startPause).
    Deadline ackWait_;
    std::shared_ptr<const FileSnapshot> snapshot_;
    std::optional<firmware::TextLines> lines_;
    Pacing pacing_;
    Wait wait_ = Wait::None;
    qint64 total_ = 0;
    qint64 sent_ = 0;
    qint64 lineLimit_ = 0;
    bool acked_ = false;
    bool ackedInDrain_ = false;
    QByteArray joined_; // a line that is not followed by its line feed in the file, joined to one
};
