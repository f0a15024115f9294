#include "cli/TerminalView.h"

#include "cli/Console.h"

#include "session/RunEnd.h"

#include <QIODevice>

TerminalView::TerminalView(Console &console, int board) : console_(console), board_(board) {}

void TerminalView::showStage(Stage stage) {
    // Every stage comes after the wait for the bootloader.
    console_.countdown(board_, -1);
    console_.message(board_, toString(stage));
}

void TerminalView::showCountdown(int seconds) {
    console_.countdown(board_, seconds);
}
void TerminalView::showStartAction(StartAction) {
    console_.countdown(board_, -1);
}

void TerminalView::appendReceived(const QByteArray &bytes) {
    if (log_)
        log_->write(bytes);
    if (onReceived)
        onReceived();
}

void TerminalView::note(const QString &text) {
    for (const QString &line : text.split(QLatin1Char('\n')))
        console_.message(board_, line);
}

void TerminalView::appendNote(const QString &text) {
    note(text);
}
void TerminalView::prependNote(const QString &text) {
    note(text);
}
void TerminalView::showDotTimeout() {
    console_.message(board_, QString::fromLatin1(RunEnd::DotTimeoutText));
}
void TerminalView::showCommError(int code) {
    console_.message(board_, QStringLiteral("COM error ") + QString::number(code));
}
