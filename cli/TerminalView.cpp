#include "cli/TerminalView.h"

#include "cli/Console.h"

#include <QIODevice>
#include <QRegularExpression>

TerminalView::TerminalView(Console &console, int board, int speedIndex)
    : console_(console), board_(board), speedIndex_(speedIndex) {}

void TerminalView::showStatus(const QString &status) {
    // The caption's per-line percentage: the console draws its own progress from lineSent.
    if (status.startsWith(QStringLiteral("progress: ")))
        return;
    // Every stage the caption shows comes after the wait for the bootloader.
    console_.countdown(board_, -1);
    console_.message(board_, status);
}

void TerminalView::setStartCaption(const QString &caption) {
    static const QString Waiting = QStringLiteral("Waiting restart: ");
    if (!caption.startsWith(Waiting)) {
        console_.countdown(board_, -1);
        return;
    }
    bool ok = false;
    const int seconds = caption.mid(Waiting.size()).toInt(&ok);
    console_.countdown(board_, ok ? seconds : -1);
}

void TerminalView::appendReceived(const QByteArray &bytes) {
    if (log_)
        log_->write(bytes);
    if (onReceived)
        onReceived();
}

void TerminalView::note(const QString &text) {
    static const QRegularExpression LineBreak(QStringLiteral("[\r\n]+"));
    for (const QString &line : text.split(LineBreak, Qt::SkipEmptyParts))
        console_.message(board_, line.trimmed());
}

void TerminalView::appendNote(const QString &text) {
    note(text);
}
void TerminalView::prependNote(const QString &text) {
    note(text);
}
void TerminalView::showDotTimeout() {
    console_.message(board_, QStringLiteral("Error: DOT Timeout"));
}
void TerminalView::showCommError(int code) {
    console_.message(board_, QStringLiteral("COM error ") + QString::number(code));
}
