#pragma once

#include <QPlainTextEdit>

// The log box. Appending costs the same however long the current line is: a line longer than
// BlockLimit characters is shown as several blocks, the later ones marked as continuations, and the
// text given back (text(), copy) joins them again. A device that acknowledges every line with "." and
// never sends a line break would otherwise make every append cost the whole line's length.
//
// Received bytes are Latin-1 characters; CR, LF and CR LF each make one line break, also when CR and
// LF arrive in separate appends. The log keeps at most CharacterLimit characters, dropping the
// oldest text first.
class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int BlockLimit = 1024;
    static constexpr qint64 CharacterLimit = 16 * 1024 * 1024;

    explicit LogView(QWidget *parent = nullptr);

    // Adds text at the end and moves the caret there.
    void appendReceived(const QByteArray &latin1);
    void appendText(const QString &text);
    // Puts text in front of everything.
    void prependText(const QString &text);
    // Empties the log.
    void clearLog();

    // The whole text, line breaks as "\n", continuation blocks joined.
    QString text() const;
    qint64 characterCount() const;

protected:
    QMimeData *createMimeDataFromSelection() const override;

private:
    void insertAtEnd(QStringView text);
    // Drops the oldest blocks, starting with the block at `from`.
    void trimToLimit(int from = 0);
    QString textBetween(int from, int to) const;

    bool pendingCarriageReturn_ = false;
};
