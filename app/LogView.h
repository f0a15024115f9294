#pragma once

#include "clock/Timer.h"

#include <QPlainTextEdit>
#include <memory>

// The log box. Received text waits in a pending buffer and goes into the widget once a frame, with
// one scroll to the end: a device that acknowledges every line with its own "." would otherwise
// cost one layout and one scroll per byte. A note, a key press and the context menu put the pending
// text in first, so the order never changes and select-all sees everything; text() includes it.
//
// Appending costs the same however long the current line is: a line longer than BlockLimit
// characters is kept as several blocks, the later ones marked as continuations, and the text given
// back (text(), copy) joins them again. A block is cut where the view wraps its line anyway, so the
// cut does not show.
//
// Received bytes are Latin-1 characters; CR, LF and CR LF each make one line break, also when CR
// and LF arrive in separate appends. A note keeps its line to itself: text received after it starts
// on the next line. The log keeps at most CharacterLimit characters, dropping the oldest text
// first.
//
// Its context menu offers "Save log…" besides the usual entries; what saving means is the window's
// business (saveRequested).
class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int BlockLimit = 1024;
    static constexpr qint64 CharacterLimit = 16 * 1024 * 1024;
    // A frame: often enough to look live, seldom enough that redrawing costs the line little.
    static constexpr int FrameMs = 30;
    // A frame that puts in more than FloodCharacters (a transfer's dots, a device dumping its
    // memory) is followed by frames FloodFrameMs apart while the text keeps coming: ten frames a
    // second show a flood as well, for a third of the drawing, which a window system pays again
    // in its server. The first text after a quiet frame is drawn FrameMs after it came.
    static constexpr qsizetype FloodCharacters = 256;
    static constexpr int FloodFrameMs = 100;
    // Pending text that goes in at once, without waiting for the frame: memory and the cost of one
    // flush stay bounded while the event loop is held up.
    static constexpr qsizetype PendingLimit = 16 * 1024;

    explicit LogView(QWidget *parent = nullptr);
    ~LogView() override;

    // Adds received text at the end within a frame (see flush()).
    void appendReceived(const QByteArray &latin1);
    // Adds a note at the end at once, after any pending text (see flush()).
    void appendText(const QString &text);
    // Puts a note in front of everything, pending text first put at the end. Its line breaks are
    // "\n".
    void prependText(const QString &text);
    // Empties the log, pending text too.
    void clearLog();
    // Puts the pending text into the widget now; a view that showed the end scrolls on to the new
    // end, with the caret there.
    void flush();
    bool hasPending() const { return !pending_.isEmpty(); }
    // Replaces the frame timer (one shot per frame, FrameMs or FloodFrameMs); tests pass one in
    // virtual time.
    void setFrameTimer(std::unique_ptr<Timer> timer);

    // The whole text, pending text included, line breaks as "\n", continuation blocks joined.
    QString text() const;
    // Characters in the widget, not counting pending text.
    qint64 characterCount() const;

    // The context menu at `pos`: the usual entries and "Save log…". Deleted when closed.
    QMenu *createContextMenu(const QPoint &pos);

Q_SIGNALS:
    void saveRequested();

protected:
    QMimeData *createMimeDataFromSelection() const override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void addPending(QStringView text);
    void frameTick();
    void insertAtEnd(QStringView text);
    // Starts a continuation block at the cursor's block's last wrapped row.
    void cutAtLastRow(QTextCursor &cursor);
    // Drops the oldest blocks, starting with the block at `from`.
    void trimToLimit(int from = 0);
    QString textBetween(int from, int to) const;

    QString pending_;
    bool pendingCarriageReturn_ = false;
    bool noteLineOpen_ = false; // the last text added is a note that ends without a line break
    std::unique_ptr<Timer> frame_;
};
