#include "app/LogView.h"

#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {
// userState of a block that continues the line of the block before it.
constexpr int Continuation = 1;
} // namespace

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void LogView::appendReceived(const QByteArray &latin1) { appendText(QString::fromLatin1(latin1)); }

void LogView::appendText(const QString &text) {
    if (text.isEmpty())
        return;
    // Line breaks become blocks: CR LF is one break, a lone CR or LF another.
    QString normalised;
    normalised.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\n') && pendingCarriageReturn_) {
            pendingCarriageReturn_ = false;
            continue;
        }
        pendingCarriageReturn_ = c == QLatin1Char('\r');
        normalised.append(pendingCarriageReturn_ ? QChar(QLatin1Char('\n')) : c);
    }
    insertAtEnd(normalised);
    trimToLimit();
}

void LogView::insertAtEnd(QStringView text) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), start);
        const qsizetype stop = lineEnd < 0 ? text.size() : lineEnd;
        qsizetype pos = start;
        while (pos < stop) {
            const int room = BlockLimit - (cursor.block().length() - 1);
            if (room <= 0) {
                cursor.insertBlock();
                QTextBlock block = cursor.block();
                block.setUserState(Continuation);
                continue;
            }
            const qsizetype chunk = std::min<qsizetype>(room, stop - pos);
            cursor.insertText(text.mid(pos, chunk).toString());
            pos += chunk;
        }
        if (lineEnd < 0)
            break;
        cursor.insertBlock();
        cursor.block().setUserState(0);
        start = lineEnd + 1;
    }
    cursor.endEditBlock();
    setTextCursor(cursor);
    ensureCursorVisible();
}

void LogView::prependText(const QString &text) {
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    // The first line keeps its continuation flag off; a note ending in a break starts a fresh block.
    cursor.insertText(normalised);
    // The note is the newest text: over the limit, the oldest text below it goes, not the note.
    QTextBlock below = cursor.block();
    if (!cursor.atBlockStart())
        below = below.next();
    trimToLimit(below.isValid() ? below.position() : cursor.position());
}

void LogView::clearLog() {
    clear();
    pendingCarriageReturn_ = false;
}

qint64 LogView::characterCount() const { return document()->characterCount() - 1; }

void LogView::trimToLimit(int from) {
    if (characterCount() <= CharacterLimit)
        return;
    // Drop whole blocks from the block at `from` on until a sixteenth of the limit is free again,
    // so that trimming happens seldom.
    const qint64 target = CharacterLimit - CharacterLimit / 16;
    qint64 excess = characterCount() - target;
    QTextBlock block = document()->findBlock(from);
    const int begin = block.position();
    int end = begin;
    while (block.isValid() && excess > 0) {
        excess -= block.length();
        end = block.position() + block.length();
        block = block.next();
    }
    QTextCursor cursor(document());
    cursor.setPosition(begin);
    cursor.setPosition(std::min(end, document()->characterCount() - 1), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    // What is left there starts a line: the start of its line, if it had one, is gone.
    document()->findBlock(begin).setUserState(0);
}

QString LogView::textBetween(int from, int to) const {
    QString out;
    QTextBlock block = document()->findBlock(from);
    bool first = true;
    while (block.isValid() && block.position() <= to) {
        if (!first && block.userState() != Continuation)
            out.append(QLatin1Char('\n'));
        first = false;
        const int begin = std::max(from, block.position()) - block.position();
        const int end = std::min(to, block.position() + block.length() - 1) - block.position();
        if (end > begin)
            out.append(block.text().mid(begin, end - begin));
        block = block.next();
    }
    return out;
}

QString LogView::text() const { return textBetween(0, document()->characterCount() - 1); }

QMimeData *LogView::createMimeDataFromSelection() const {
    const QTextCursor cursor = textCursor();
    auto *data = new QMimeData;
    data->setText(textBetween(cursor.selectionStart(), cursor.selectionEnd()));
    return data;
}
