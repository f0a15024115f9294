#pragma once

#include "session/SessionView.h"

#include <functional>

class Console;
class QIODevice;

// The session's front end on a terminal, for one board: the caption's stages become lines on the
// console, the start button's countdown feeds the progress line, and the device's bytes go to the
// log file, if any. Nothing here blocks: the two message boxes of the window are one line each.
class TerminalView final : public SessionView {
public:
    TerminalView(Console &console, int board, int speedIndex);

    // Every byte the device sends is appended here, unchanged (not owned; may be null).
    void setLog(QIODevice *log) { log_ = log; }
    // Told whenever the device sent something.
    std::function<void()> onReceived;

    void showStatus(const QString &status) override;
    void setStartCaption(const QString &caption) override;
    void setStartEnabled(bool) override {}
    void appendReceived(const QByteArray &bytes) override;
    void appendNote(const QString &text) override;
    void prependNote(const QString &text) override;
    void showDotTimeout() override;
    void showCommError(int code) override;
    int speedIndex() const override { return speedIndex_; }

private:
    void note(const QString &text);

    Console &console_;
    int board_;
    int speedIndex_;
    QIODevice *log_ = nullptr;
};
