#pragma once

#include "session/SessionView.h"

#include <QString>

class LogView;
class QMessageBox;
class QPushButton;
class QWidget;

// The session's view in the window: the status line in the caption, the start button, the log and
// the two boxes. Notes are laid out as the log has always shown them: an appended note on a line of
// its own, the cancel note at the top with an empty line after it.
class WindowView final : public SessionView {
public:
    WindowView(QWidget &window, QPushButton &startButton, LogView &log);

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

    // Shown without a nested event loop, titled with the application title; none once the window
    // has closed.
    void showBox(QMessageBox *box);
    void windowClosed() { closed_ = true; }

private:
    // The caption is set only when its text changes: a run of identical progress texts costs
    // nothing.
    void setCaption(const QString &status);

    QWidget &window_;
    QPushButton &startButton_;
    LogView &log_;
    // The start button had the focus when it was disabled for a run; the window holds it meanwhile.
    bool startFocusHeld_ = false;
    bool closed_ = false;
    double shownPercent_ = -1;
    QString shownProgressCaption_;
};
