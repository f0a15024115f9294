#pragma once

#include "clock/Timer.h"
#include "session/SessionView.h"

#include <QString>
#include <memory>
#include <optional>

class LogView;
class QMessageBox;
class QPushButton;
class QWidget;

// The session's view in the window: the status line in the caption, the start button, the log and
// the two boxes. Notes are laid out as the log has always shown them: an appended note on a line of
// its own, the cancel note at the top with an empty line after it.
//
// What the caption and the log show reaches a screen reader too. The window's accessible name is
// its caption; each new status raises the name-change event (progress once per tenth, so that
// speech keeps up with the lines). Within a tenth the progress reaches the caption ten times a
// second (LogView::FloodFrameMs), its latest value: a caption set for each line would have the
// window manager redraw the title bar far more often than anyone can read it. Each note becomes the
// window's accessible description, which raises its own event, until the next run starts. Where Qt
// has announcements (6.8 on), both are announced as well.
class WindowView final : public SessionView {
public:
    // `timers`: the window's clock, for the caption's frame.
    WindowView(QWidget &window, QPushButton &startButton, LogView &log, TimerFactory &timers);

    void showStage(Stage stage) override;
    void showProgress(double percent) override;
    void showCountdown(int seconds) override;
    void showStartAction(StartAction action) override;
    void setStartEnabled(bool enabled) override;
    void appendReceived(const QByteArray &bytes) override;
    void appendNote(const QString &text) override;
    void prependNote(const QString &text) override;
    void showDotTimeout() override;
    void showCommError(int code) override;

    // A status of the window's own in the caption ("Connect: True").
    void showStatus(const QString &status);
    // A note of the window's own at the end of the log, on a line of its own (the first line of an
    // empty log).
    void note(const QString &text);

    // Shown without a nested event loop, titled with the application title; none once the window
    // has closed.
    void showBox(QMessageBox *box);
    void windowClosed() { closed_ = true; }

private:
    // The caption is set only when its text changes: a run of identical progress texts costs
    // nothing. True when it changed.
    bool setCaption(const QString &status);
    void showProgressNow(double percent);
    void announceStatus(const QString &status);
    void announceNote(const QString &text);

    QWidget &window_;
    QPushButton &startButton_;
    LogView &log_;
    // The start button had the focus when it was disabled for a run; the window holds it meanwhile.
    bool startFocusHeld_ = false;
    bool closed_ = false;
    double shownPercent_ = -1; // the progress last given; -1 after any other status
    std::optional<double> pendingPercent_;
    std::unique_ptr<Timer> captionFrame_;
    // The tenth of the progress last announced (100 % is the eleventh); -1: none since the last
    // other status.
    int announcedTenth_ = -1;
};
