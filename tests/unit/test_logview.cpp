// The log box: line breaks across reads, Latin-1, long lines kept in short blocks but given back
// whole, notes in front, clearing, the size cap, and what a hand edit leaves behind.
#include "VirtualClock.h"
#include "app/LogView.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

namespace {

// Reaches the copy path directly, without going through the clipboard.
class CopyableLogView : public LogView {
public:
    QString copied() const {
        const std::unique_ptr<QMimeData> data(createMimeDataFromSelection());
        return data->text();
    }
    QString copiedBetween(int from, int to) {
        QTextCursor cursor(document());
        cursor.setPosition(from);
        cursor.setPosition(to, QTextCursor::KeepAnchor);
        setTextCursor(cursor);
        return copied();
    }
};

// Distinct characters, so that a dropped or doubled piece shows up.
QString pattern(int length, int seed = 0) {
    QString out;
    out.reserve(length);
    for (int i = 0; i < length; ++i)
        out.append(QLatin1Char(static_cast<char>('a' + (i + seed) % 26)));
    return out;
}

// Ctrl+A as the operator presses it: also what arrived since the last frame.
void selectAllByKey(LogView &view) {
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
}

QString viaClipboard(LogView &view) {
    QApplication::clipboard()->clear();
    selectAllByKey(view);
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    return QApplication::clipboard()->text();
}

bool caretAtEnd(const LogView &view) {
    const QTextCursor cursor = view.textCursor();
    return cursor.atEnd() && !cursor.hasSelection();
}

// Every block the log made itself stays within the limit, and the first is never a continuation.
void expectShortBlocks(const LogView &view) {
    EXPECT_NE(view.document()->firstBlock().userState(), 1);
    for (QTextBlock b = view.document()->firstBlock(); b.isValid(); b = b.next())
        ASSERT_LE(b.length() - 1, LogView::BlockLimit) << "block " << b.blockNumber();
}

struct BreakCase {
    const char *name;
    std::vector<QByteArray> reads;
    QString expected;
};

// Names the case in the discovered test names, which would otherwise hold its raw bytes.
void PrintTo(const BreakCase &c, std::ostream *out) {
    *out << c.name;
}

class LogViewLineBreaks : public ::testing::TestWithParam<BreakCase> {};

} // namespace

TEST_P(LogViewLineBreaks, everyBreakIsOneLineAlsoWhenSplitAcrossReads) {
    LogView view;
    for (const QByteArray &read : GetParam().reads)
        view.appendReceived(read);
    EXPECT_EQ(view.text(), GetParam().expected) << "before the frame";
    view.flush();
    EXPECT_EQ(view.text(), GetParam().expected);
    EXPECT_EQ(view.document()->blockCount(), GetParam().expected.count(QLatin1Char('\n')) + 1);
    EXPECT_TRUE(caretAtEnd(view));
}

INSTANTIATE_TEST_SUITE_P(
    Reads, LogViewLineBreaks,
    ::testing::Values(
        BreakCase{"crlfInOneRead", {"a\r\nb"}, QStringLiteral("a\nb")},
        BreakCase{"crThenLfInTheNextRead", {"a\r", "\nb"}, QStringLiteral("a\nb")},
        BreakCase{"emptyReadBetweenCrAndLf", {"a\r", "", "\nb"}, QStringLiteral("a\nb")},
        BreakCase{"crAloneInAReadThenLf", {"a", "\r", "\n", "b"}, QStringLiteral("a\nb")},
        BreakCase{"lfCrIsTwo", {"a\n\rb"}, QStringLiteral("a\n\nb")},
        BreakCase{"lfThenCrAcrossReadsIsTwo", {"a\n", "\rb"}, QStringLiteral("a\n\nb")},
        BreakCase{"loneCr", {"a\rb"}, QStringLiteral("a\nb")},
        BreakCase{"loneLf", {"a\nb"}, QStringLiteral("a\nb")},
        BreakCase{"crCrLfIsTwo", {"a\r", "\r", "\nb"}, QStringLiteral("a\n\nb")},
        BreakCase{"crThenTextIsABreak", {"a\r", "b\n"}, QStringLiteral("a\nb\n")},
        BreakCase{"crlfCrlf", {"\r\n\r\n"}, QStringLiteral("\n\n")}),
    [](const ::testing::TestParamInfo<BreakCase> &info) { return std::string(info.param.name); });

TEST(LogViewText, latin1BytesBecomeTheSameCodePointsInTextAndCopy) {
    QByteArray bytes;
    QString expected;
    for (int b = 0x80; b <= 0xFF; ++b) {
        bytes.append(static_cast<char>(b));
        expected.append(QChar(b));
    }
    CopyableLogView view;
    view.appendReceived(bytes);
    EXPECT_EQ(view.text(), expected);
    selectAllByKey(view);
    // U+00A0 in particular must not come back as a plain space.
    EXPECT_EQ(view.copied(), expected);
}

TEST(LogViewLongLines, aLineWithoutBreaksIsStoredInShortBlocksButGivenBackWhole) {
    const QString line = pattern(5000);
    for (const int chunk : {1, 7, 1024, 5000}) {
        SCOPED_TRACE(chunk);
        CopyableLogView view;
        // Each read in its own frame: the line grows across flushes.
        for (int at = 0; at < line.size(); at += chunk) {
            view.appendReceived(line.mid(at, chunk).toLatin1());
            view.flush();
        }
        EXPECT_EQ(view.document()->blockCount(), 5); // 4 x 1024 + 904
        expectShortBlocks(view);
        EXPECT_TRUE(caretAtEnd(view));
        EXPECT_EQ(view.text(), line);
        selectAllByKey(view);
        EXPECT_EQ(view.copied(), line);
    }
}

TEST(LogViewLongLines, selectAllAndCopyPutsTheWholeLineOnTheClipboard) {
    const QString line = pattern(5000);
    LogView view;
    view.appendReceived(line.toLatin1() + "\r\nnext");
    EXPECT_EQ(viaClipboard(view), line + QStringLiteral("\nnext"));
}

TEST(LogViewLongLines, aPartialSelectionCopiesOnlyRealLineBreaks) {
    // A 2,000-character line (blocks at 0 and 1025), a break, then "xyz" at position 2001.
    const QString line = pattern(2000);
    CopyableLogView view;
    view.appendReceived(line.toLatin1() + "\nxyz");
    view.flush();
    const int second = view.document()->findBlockByNumber(1).position();
    ASSERT_EQ(second, 1025);
    const int third = view.document()->findBlockByNumber(2).position();
    struct Case {
        const char *what;
        int from, to;
        QString expected;
    } const cases[] = {
        {"across the continuation", 1020, second + 5, line.mid(1020, 9)},
        {"ending at the continuation", 1020, second, line.mid(1020, 4)},
        {"starting at the continuation", second, second + 3, line.mid(1024, 3)},
        {"across the real break", third - 4, third + 2, line.right(3) + QStringLiteral("\nxy")},
        {"from the first line's start into the next line", 0, third + 1,
         line + QStringLiteral("\nx")},
    };
    for (const Case &c : cases)
        EXPECT_EQ(view.copiedBetween(c.from, c.to), c.expected) << c.what;
}

TEST(LogViewLongLines, aLineBreakAfterExactlyBlockLimitCharactersStartsANewLine) {
    const QString line = pattern(LogView::BlockLimit);
    LogView view;
    view.appendReceived(line.toLatin1());
    view.appendReceived("\r\n");
    view.appendReceived("x");
    EXPECT_EQ(view.text(), line + QStringLiteral("\nx"));
    view.flush();
    EXPECT_EQ(view.document()->blockCount(), 2);
}

TEST(LogViewHandEdit, appendingAfterTheOperatorTypedInTheMiddleGoesToTheEnd) {
    LogView view;
    view.appendReceived("first\r\nsecond");
    view.flush();
    QTextCursor cursor = view.textCursor();
    cursor.setPosition(2);
    view.setTextCursor(cursor);
    QTest::keyClicks(&view, QStringLiteral("XY"));
    ASSERT_EQ(view.text(), QStringLiteral("fiXYrst\nsecond"));

    view.appendReceived("!\r\nthird");
    view.flush();
    EXPECT_EQ(view.text(), QStringLiteral("fiXYrst\nsecond!\nthird"));
    EXPECT_TRUE(caretAtEnd(view));
}

TEST(LogViewHandEdit, aBreakTypedByTheOperatorInsideALongLineIsKept) {
    // A 3,000-character line: blocks of 1024, 1024 and 952 at positions 0, 1025 and 2050.
    const QString line = pattern(3000);
    const QString tail = pattern(10, 3);
    struct Case {
        const char *what;
        int position;
        int at; // the same place in the line
    } const cases[] = {
        {"at the end of the line", 3002, 3000},
        {"inside a continuation", 1501, 1500},
        {"where a continuation starts", 2050, 2048},
        {"where a block ends before a continuation", 2049, 2048},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LogView view;
        view.appendReceived(line.toLatin1());
        view.flush();
        QTextCursor cursor = view.textCursor();
        cursor.setPosition(c.position);
        view.setTextCursor(cursor);
        QTest::keyClick(&view, Qt::Key_Return);
        view.appendReceived(tail.toLatin1());
        view.flush();
        EXPECT_EQ(view.text(), line.left(c.at) + QLatin1Char('\n') + line.mid(c.at) + tail);
        EXPECT_TRUE(caretAtEnd(view));
    }
}

TEST(LogViewHandEdit, typingPastTheBlockLimitStillKeepsAppendsShort) {
    const QString line = pattern(LogView::BlockLimit);
    LogView view;
    view.appendReceived(line.toLatin1());
    QTest::keyClicks(&view, QStringLiteral("typed"));
    view.appendReceived(pattern(3000).toLatin1());
    view.flush();
    EXPECT_EQ(view.text(), line + QStringLiteral("typed") + pattern(3000));
    EXPECT_LE(view.document()->lastBlock().length() - 1, LogView::BlockLimit);
}

TEST(LogViewPrepend, aNoteGoesInFrontAndLeavesLongLinesWhole) {
    const QString line = pattern(3000);
    CopyableLogView view;
    view.appendReceived(line.toLatin1() + "\r\ntail");
    view.prependText(QStringLiteral("Note one\r\nNote two\r\n\r\n"));
    const QString expected =
        QStringLiteral("Note one\nNote two\n\n") + line + QStringLiteral("\ntail");
    EXPECT_EQ(view.text(), expected);
    selectAllByKey(view);
    EXPECT_EQ(view.copied(), expected);
    EXPECT_NE(view.document()->firstBlock().userState(), 1);

    view.appendReceived(" more");
    view.flush();
    EXPECT_EQ(view.text(), expected + QStringLiteral(" more"));
    EXPECT_TRUE(caretAtEnd(view));
}

TEST(LogViewPrepend, aNoteInFrontLeavesAPendingCarriageReturnAtTheEndAlone) {
    LogView view;
    view.appendReceived("a\r");
    view.prependText(QStringLiteral("N\r\n"));
    view.appendReceived("\nb");
    EXPECT_EQ(view.text(), QStringLiteral("N\na\nb"));
}

TEST(LogViewClear, clearingForgetsTextLongLinesAndAPendingCarriageReturn) {
    LogView view;
    view.appendReceived(pattern(2000).toLatin1() + "\r");
    view.clearLog();
    EXPECT_EQ(view.text(), QString());
    EXPECT_EQ(view.characterCount(), 0);

    // The CR before the clear must not swallow the LF after it.
    view.appendReceived("\n");
    EXPECT_EQ(view.text(), QStringLiteral("\n"));
    view.clearLog();
    view.appendReceived("x");
    view.flush();
    EXPECT_EQ(view.text(), QStringLiteral("x"));
    EXPECT_NE(view.document()->firstBlock().userState(), 1);
}

namespace {

// 1,024 lines of 1,023 letters and a break: 1 Mi characters, one block a line, an exact count.
QByteArray fullRead(char letter, qsizetype shortBy = 0) {
    QByteArray line(LogView::BlockLimit - 1, letter);
    line.append('\n');
    QByteArray read = line.repeated(1024);
    read.chop(shortBy);
    return read;
}

} // namespace

TEST(LogViewCap, theOldestTextGoesFirstAndANoteJustPutInFrontStays) {
    constexpr qint64 Mi = 1024 * 1024;
    static_assert(LogView::CharacterLimit == 16 * Mi);
    LogView view;
    for (char letter = 'a'; letter < 'p'; ++letter)
        view.appendReceived(fullRead(letter));
    const QByteArray last = fullRead('p', 11); // ends without a break
    view.appendReceived(last);
    view.flush();
    ASSERT_EQ(view.characterCount(), LogView::CharacterLimit - 11) << "not trimmed yet";

    // The note is the newest text even though it is on top: the read after it goes instead.
    const QString note = QStringLiteral("Cancelled.\nPower cycle the device.\n\n");
    view.prependText(QStringLiteral("Cancelled.\r\nPower cycle the device.\r\n\r\n"));
    EXPECT_LE(view.characterCount(), LogView::CharacterLimit);
    QString text = view.text();
    EXPECT_TRUE(text.startsWith(note + QLatin1Char('b'))) << qPrintable(text.left(60));
    const auto lineOf = [](char letter) {
        return QString(LogView::BlockLimit - 1, QLatin1Char(letter));
    };
    EXPECT_FALSE(text.contains(lineOf('a')));
    EXPECT_TRUE(text.endsWith(QString::fromLatin1(last)));

    // Appends past the cap drop from the top again.
    const QByteArray newest = fullRead('q') + fullRead('r');
    view.appendReceived(newest);
    view.flush();
    EXPECT_LE(view.characterCount(), LogView::CharacterLimit);
    EXPECT_GE(view.characterCount(), LogView::CharacterLimit / 2) << "not everything";
    text = view.text();
    EXPECT_TRUE(text.endsWith(QString::fromLatin1(last + newest)));
    EXPECT_FALSE(text.contains(lineOf('b')));
    EXPECT_FALSE(text.startsWith(note));
    EXPECT_TRUE(caretAtEnd(view));
}

namespace {

// A log whose frames run in virtual time.
struct FramedLog {
    VirtualClock clock;
    CopyableLogView view;
    FramedLog() { view.setFrameTimer(clock.createTimer(LogView::FrameMs)); }
    // What the widget holds, without the pending text.
    QString shown() const { return view.document()->toPlainText(); }
};

} // namespace

TEST(LogViewFrames, receivedTextReachesTheWidgetOnceAFrameAndAStreamDoesNotPostponeIt) {
    FramedLog log;
    log.view.appendReceived("a");
    log.clock.advance(10);
    log.view.appendReceived("b\r");
    log.clock.advance(LogView::FrameMs - 11);
    EXPECT_EQ(log.shown(), QString()) << "not before the frame";
    EXPECT_EQ(log.view.text(), QStringLiteral("ab\n")) << "but text() has it";
    log.clock.advance(1);
    EXPECT_EQ(log.shown(), QStringLiteral("ab\n"));
    EXPECT_TRUE(caretAtEnd(log.view));
    EXPECT_EQ(log.clock.nextDeadline(), -1) << "nothing pending, no frame";

    // The LF completing the CR of the last frame is no second break.
    log.view.appendReceived("\nc");
    EXPECT_EQ(log.clock.nextDeadline(), log.clock.now() + LogView::FrameMs);
    log.clock.advance(LogView::FrameMs);
    EXPECT_EQ(log.shown(), QStringLiteral("ab\nc"));
}

TEST(LogViewFrames, aFloodIsDrawnTenTimesASecondUntilAFrameFindsNothingNew) {
    FramedLog log;
    const QByteArray flood(LogView::FloodCharacters + 1, '.');
    log.view.appendReceived(flood);
    log.clock.advance(LogView::FrameMs);
    ASSERT_EQ(log.shown().size(), flood.size()) << "its first frame as any other";
    log.view.appendReceived(flood);
    log.clock.advance(LogView::FloodFrameMs - 1);
    EXPECT_EQ(log.shown().size(), flood.size());
    log.clock.advance(1);
    EXPECT_EQ(log.shown().size(), 2 * flood.size());
    log.clock.advance(LogView::FloodFrameMs); // a frame with nothing new ends the flood
    EXPECT_EQ(log.clock.nextDeadline(), -1);
    log.view.appendReceived("a");
    EXPECT_EQ(log.clock.nextDeadline(), log.clock.now() + LogView::FrameMs);
}

TEST(LogViewFrames, aFrameScrollsToTheEndOnce) {
    FramedLog log;
    log.view.resize(577, 409);
    log.view.show();
    int scrolls = 0;
    QObject::connect(&log.view, &QPlainTextEdit::updateRequest,
                     [&](const QRect &, int dy) { scrolls += dy != 0; });
    for (int i = 0; i < 300; ++i)
        log.view.appendReceived("S1130000" + QByteArray::number(i) + "\r\n");
    EXPECT_EQ(scrolls, 0);
    log.clock.advance(LogView::FrameMs);
    EXPECT_EQ(scrolls, 1);
    EXPECT_GT(log.view.verticalScrollBar()->value(), 0);
    EXPECT_TRUE(log.view.viewport()->rect().contains(log.view.cursorRect()));
}

TEST(LogViewFrames, theViewFollowsTheEndOnlyWhileItShowsTheEnd) {
    FramedLog log;
    log.view.resize(577, 409);
    log.view.show();
    QScrollBar *bar = log.view.verticalScrollBar();
    const auto arrive = [&](int lines) {
        for (int i = 0; i < lines; ++i)
            log.view.appendReceived("S1130000" + QByteArray::number(i) + "\r\n.");
        log.clock.advance(LogView::FrameMs);
    };
    arrive(200);
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    // Scrolled up to read, with a line selected to copy: text goes on arriving below.
    log.view.copiedBetween(0, 8);
    bar->setValue(bar->maximum() / 3);
    const int reading = bar->value();
    const int maximumBefore = bar->maximum();
    arrive(100);
    log.view.appendText(QStringLiteral("\r\na note"));
    EXPECT_GT(bar->maximum(), maximumBefore);
    EXPECT_EQ(bar->value(), reading) << "the view stays where the operator put it";
    EXPECT_EQ(log.view.copied(), QStringLiteral("S1130000")) << "and so does the selection";
    EXPECT_TRUE(log.view.text().endsWith(QStringLiteral("a note")));

    // Back at the bottom it follows again, the caret at the end.
    bar->setValue(bar->maximum());
    arrive(100);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_TRUE(caretAtEnd(log.view));
    EXPECT_TRUE(log.view.viewport()->rect().contains(log.view.cursorRect()));
}

TEST(LogViewFrames, notesAndKeysPutPendingTextInFirst) {
    FramedLog log;
    log.view.appendReceived("abc\r");
    log.view.appendText(QStringLiteral("\r\nRestart to bootprogram failled!"));
    EXPECT_EQ(log.shown(), QStringLiteral("abc\n\nRestart to bootprogram failled!"));
    EXPECT_EQ(log.clock.nextDeadline(), -1);

    log.view.appendReceived("tail");
    log.view.prependText(QStringLiteral("Cancelled.\r\n"));
    EXPECT_EQ(log.shown(),
              QStringLiteral("Cancelled.\nabc\n\nRestart to bootprogram failled!\ntail"));
    EXPECT_FALSE(log.view.hasPending());

    // What arrived since the last frame is selected and copied too, and typing goes after it.
    log.view.appendReceived("\r\nnew");
    EXPECT_EQ(viaClipboard(log.view), log.view.text());
    EXPECT_TRUE(log.view.text().endsWith(QStringLiteral("tail\nnew")));
    log.view.appendReceived("er");
    QTest::keyClick(&log.view, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(&log.view, QStringLiteral("!"));
    EXPECT_TRUE(log.shown().endsWith(QStringLiteral("tail\nnewer!")));
}

TEST(LogViewFrames, aLargeReadGoesInWithoutWaitingAndClearingDropsWhatIsPending) {
    FramedLog log;
    log.view.appendReceived(QByteArray(LogView::PendingLimit, 'x'));
    EXPECT_EQ(log.view.characterCount(), LogView::PendingLimit + LogView::PendingLimit / 1024 - 1)
        << "in the widget, one separator per continuation block";
    EXPECT_FALSE(log.view.hasPending());

    log.view.appendReceived("y\r");
    log.view.clearLog();
    log.clock.advance(LogView::FrameMs);
    log.view.appendReceived("\n");
    log.clock.advance(LogView::FrameMs);
    EXPECT_EQ(log.view.text(), QStringLiteral("\n"));
}

namespace {

// The size of the log box in the window.
void showAsInTheWindow(QPlainTextEdit &edit) {
    edit.resize(577, 409);
    edit.show();
}

// Fed like a run: one read a character, a frame every 16 reads.
void feedLikeARun(LogView &log, const QString &text) {
    for (int i = 0; i < text.size(); ++i) {
        log.appendReceived(QByteArray(1, text[i].toLatin1()));
        if (i % 16 == 15)
            log.flush();
    }
    log.flush();
}

QImage shownAt(QPlainTextEdit &edit, int row) {
    // From the top each time: how far inside a block the view stands depends on where it came from.
    edit.verticalScrollBar()->setValue(0);
    edit.verticalScrollBar()->setValue(row);
    return edit.grab().toImage();
}

} // namespace

TEST(LogViewRows, aLongLineLooksTheSameAsOneUnbrokenLine) {
    QString words;
    for (int n = 0; words.size() < 9000; ++n)
        words += QStringLiteral("S1%1 ").arg(n * 7919, 0, 16) + pattern(n % 13, n);
    const QString dots(32770, QLatin1Char('.'));
    for (const QString &line : {dots, words}) {
        SCOPED_TRACE(line.left(8).toStdString());
        LogView log;
        showAsInTheWindow(log);
        feedLikeARun(log, line);
        QPlainTextEdit plain;
        plain.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        showAsInTheWindow(plain);
        plain.setPlainText(line);
        ASSERT_EQ(log.text(), line);
        ASSERT_GT(log.document()->blockCount(), line.size() / LogView::BlockLimit);
        expectShortBlocks(log);
        ASSERT_EQ(log.verticalScrollBar()->maximum(), plain.verticalScrollBar()->maximum())
            << "as many rows";
        // The rows around every place where one block ends and the next goes on.
        int row = 0;
        for (QTextBlock b = log.document()->firstBlock(); b.next().isValid(); b = b.next()) {
            row += b.layout()->lineCount();
            ASSERT_EQ(shownAt(log, row - 3), shownAt(plain, row - 3)) << "row " << row;
        }
        EXPECT_EQ(shownAt(log, log.verticalScrollBar()->maximum()),
                  shownAt(plain, plain.verticalScrollBar()->maximum()));
    }
}
