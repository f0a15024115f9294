#include "app/LogView.h"

#include "clock/QtTimers.h"

#include <QAbstractTextDocumentLayout>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

#include <utility>

namespace {
// userState of a block that continues the line of the block before it.
constexpr int Continuation = 1;

} // namespace

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false);
    // A width that never changes keeps the cuts between blocks where the rows wrap.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The log is read, not typed into: Tab walks the window's controls.
    setTabChangesFocus(true);
    setFrameTimer(QtTimerFactory(Qt::CoarseTimer).createTimer(FrameMs));
}

LogView::~LogView() = default;

void LogView::setFrameTimer(std::unique_ptr<Timer> timer) {
    const bool waiting = frame_ && frame_->enabled();
    frame_ = std::move(timer);
    frame_->onTick = [this] { frameTick(); };
    frame_->setEnabled(waiting);
}

void LogView::appendReceived(const QByteArray &latin1) {
    if (latin1.isEmpty())
        return;
    // The device's text after a note goes on a line of its own ("…is back" and a ">").
    if (std::exchange(noteLineOpen_, false) && latin1.front() != '\r' && latin1.front() != '\n')
        addPending(u"\n");
    addPending(QString::fromLatin1(latin1));
    if (pending_.size() >= PendingLimit) {
        flush();
    } else if (!pending_.isEmpty() && !frame_->enabled()) {
        frame_->setInterval(FrameMs);
        frame_->setEnabled(true);
    }
}

void LogView::frameTick() {
    const bool flood = pending_.size() > FloodCharacters;
    flush();
    // The timer runs on as the next frame of the flood; a tick that finds nothing ends it.
    if (flood) {
        frame_->setInterval(FloodFrameMs);
        frame_->setEnabled(true);
    }
}

void LogView::appendText(const QString &text) {
    addPending(text);
    flush();
    noteLineOpen_ = !text.isEmpty() && !text.endsWith(QLatin1Char('\n'));
}

void LogView::addPending(QStringView text) {
    // Line breaks become blocks: CR LF is one break, a lone CR or LF another.
    for (const QChar c : text) {
        if (c == QLatin1Char('\n') && pendingCarriageReturn_) {
            pendingCarriageReturn_ = false;
            continue;
        }
        pendingCarriageReturn_ = c == QLatin1Char('\r');
        pending_.append(pendingCarriageReturn_ ? QChar(QLatin1Char('\n')) : c);
    }
}

void LogView::flush() {
    frame_->setEnabled(false);
    if (pending_.isEmpty())
        return;
    // As a terminal does: the view follows the end only while it shows the end. An operator who
    // scrolled up to read keeps the view, the caret and any selection until scrolled back down. A
    // view not on screen has no place to keep.
    QScrollBar *bar = verticalScrollBar();
    const bool following = !isVisible() || bar->value() >= bar->maximum();
    const int shown = bar->value();
    insertAtEnd(std::exchange(pending_, QString()));
    trimToLimit();
    if (!following) {
        bar->setValue(shown);
        return;
    }
    // All the way down (showing the caret's line may leave the view a part of a line short of the
    // end, which the next frame would take for the operator's scrolling), then the caret, which is
    // in view there: one scroll. A caret at the end without a selection has moved on with the text
    // put in at it and is left alone: placing it works out its place in the row, which shapes the
    // row's text again.
    bar->setValue(bar->maximum());
    const QTextCursor caret = textCursor();
    const int end = document()->characterCount() - 1;
    if (caret.position() == end && !caret.hasSelection())
        return;
    QTextCursor atEnd(document());
    atEnd.setPosition(end);
    setTextCursor(atEnd);
}

void LogView::insertAtEnd(QStringView text) {
    QTextCursor cursor(document());
    // Moved inside the edit block, the cursor does not work out its place in the row, which would
    // shape the row's text for nothing.
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), start);
        const qsizetype stop = lineEnd < 0 ? text.size() : lineEnd;
        qsizetype pos = start;
        while (pos < stop) {
            const int room = BlockLimit - (cursor.block().length() - 1);
            if (room <= 0) {
                cutAtLastRow(cursor);
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
}

void LogView::cutAtLastRow(QTextCursor &cursor) {
    // The block's rows are laid out only once the edit is over.
    cursor.endEditBlock();
    const QTextBlock block = cursor.block();
    document()->documentLayout()->blockBoundingRect(block);
    const QTextLayout *rows = block.layout();
    // The last row moves to a block of its own and starts a row there as it did before: the view
    // shows the same rows. Without wrapping (no width yet) the block ends where it is.
    int cut = block.length() - 1;
    if (rows->lineCount() > 1)
        cut = rows->lineAt(rows->lineCount() - 1).textStart();
    const int state = block.userState();
    const int start = block.position();
    cursor.beginEditBlock();
    cursor.setPosition(start + cut);
    cursor.insertBlock();
    document()->findBlock(start).setUserState(state);
    cursor.block().setUserState(Continuation);
    cursor.movePosition(QTextCursor::EndOfBlock);
}

void LogView::prependText(const QString &text) {
    // Pending text is older than the note; trimming below the note must see it.
    flush();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    // The first line keeps its continuation flag off; a note ending in a break starts a fresh
    // block.
    cursor.insertText(text);
    // The note is the newest text: over the limit, the oldest text below it goes, not the note.
    QTextBlock below = cursor.block();
    if (!cursor.atBlockStart())
        below = below.next();
    trimToLimit(below.isValid() ? below.position() : cursor.position());
}

void LogView::clearLog() {
    noteLineOpen_ = false;
    pending_.clear();
    frame_->setEnabled(false);
    clear();
    pendingCarriageReturn_ = false;
}

qint64 LogView::characterCount() const {
    return document()->characterCount() - 1;
}

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

QString LogView::text() const {
    return textBetween(0, document()->characterCount() - 1) + pending_;
}

QMimeData *LogView::createMimeDataFromSelection() const {
    const QTextCursor cursor = textCursor();
    auto *data = new QMimeData;
    data->setText(textBetween(cursor.selectionStart(), cursor.selectionEnd()));
    return data;
}

void LogView::keyPressEvent(QKeyEvent *event) {
    // Select all, copy and typing act on everything received so far.
    flush();
    QPlainTextEdit::keyPressEvent(event);
}

QMenu *LogView::createContextMenu(const QPoint &pos) {
    flush();
    QMenu *menu = createStandardContextMenu(pos);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    QAction *save = menu->addAction(QStringLiteral("Save log…"), this, &LogView::saveRequested);
    save->setObjectName(QStringLiteral("saveLog"));
    return menu;
}

void LogView::contextMenuEvent(QContextMenuEvent *event) {
    // Shown without a nested event loop, as the text box's own menu is.
    createContextMenu(event->pos())->popup(event->globalPos());
}
