#pragma once

#include "session/SessionView.h"

#include <functional>

class Console;
class QIODevice;

// The session's front end on a terminal, for one board: the stages become lines on the console, the
// countdown feeds the progress line, and the device's bytes go to the log file, if any. Nothing
// here blocks: the two message boxes of the window are one line each.
class TerminalView final : public SessionView {
public:
    TerminalView(Console &console, int board);

    // Every byte the device sends is appended here, unchanged (not owned; may be null).
    void setLog(QIODevice *log) { log_ = log; }
    // Told whenever the device sent something.
    std::function<void()> onReceived;

    void showStage(Stage stage) override;
    // The console draws its own progress from the session's lineSent.
    void showProgress(double) override {}
    void showCountdown(int seconds) override;
    void showStartAction(StartAction action) override;
    void setStartEnabled(bool) override {}
    void appendReceived(const QByteArray &bytes) override;
    void appendNote(const QString &text) override;
    void prependNote(const QString &text) override;
    void showDotTimeout() override;
    void showCommError(int code) override;

private:
    void note(const QString &text);

    Console &console_;
    int board_;
    QIODevice *log_ = nullptr;
};
