#include "cli/Console.h"

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {
const QByteArray ClearLine = "\r\x1b[K";
} // namespace

Console::Console(Sink sink, bool interactive, Clock clock)
    : sink_(std::move(sink)), interactive_(interactive), clock_(std::move(clock)) {}

Console::Sink Console::standardError() {
    return [](const QByteArray &bytes) {
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
        std::fflush(stderr);
    };
}

bool Console::standardErrorIsTerminal() {
    const QByteArray term = qgetenv("TERM");
    return ::isatty(STDERR_FILENO) == 1 && term != "dumb";
}

void Console::setBoards(const QStringList &labels) {
    boards_.clear();
    for (const QString &label : labels)
        boards_.append(Board{label});
}

Console::Board *Console::board(int index) {
    return index >= 0 && index < boards_.size() ? &boards_[index] : nullptr;
}

QString Console::prefix(int board) const {
    if (boards_.size() <= 1 || board < 0 || board >= boards_.size())
        return {};
    return QStringLiteral("[%1] %2: ").arg(board + 1).arg(boards_.at(board).label);
}

void Console::message(const QString &text) {
    message(-1, text);
}

void Console::message(int board, const QString &text) {
    clearLive();
    sink_((prefix(board) + text + QLatin1Char('\n')).toLocal8Bit());
    redraw();
}

void Console::countdown(int index, int seconds) {
    Board *b = board(index);
    if (!b || b->countdown == seconds)
        return;
    b->countdown = seconds;
    redraw();
}

void Console::lineSent(int index, qint64 line, qint64 total) {
    Board *b = board(index);
    if (!b)
        return;
    const qint64 now = clock_();
    if (b->firstMs < 0 || line < b->line) {
        // The rate counts from the first line seen, not from the start of the transfer, which
        // includes the device's own delay before the first line.
        b->firstMs = now;
        b->firstLine = line;
    }
    b->line = line;
    b->total = total;
    b->lastMs = now;
    b->countdown = -1;
    if (interactive_) {
        if (lastDrawMs_ < 0 || now - lastDrawMs_ >= RedrawIntervalMs)
            redraw();
        return;
    }
    if (lastPlainMs_ < 0 || now - lastPlainMs_ >= PlainIntervalMs) {
        lastPlainMs_ = now;
        sink_((plainProgress() + QLatin1Char('\n')).toLocal8Bit());
    }
}

void Console::boardEnded(int index) {
    if (Board *b = board(index)) {
        b->ended = true;
        b->countdown = -1;
    }
    redraw();
}

void Console::finish() {
    clearLive();
}

Console::Totals Console::totals() const {
    Totals t;
    for (const Board &b : boards_) {
        if (b.ended || b.total <= 0)
            continue;
        ++t.sending;
        t.lines += std::min(b.line, b.total);
        t.total += b.total;
        if (b.lastMs > b.firstMs && b.line > b.firstLine) {
            const double rate = static_cast<double>(b.line - b.firstLine) * 1000.0 /
                                static_cast<double>(b.lastMs - b.firstMs);
            t.linesPerSecond += rate;
            const double left = static_cast<double>(std::max<qint64>(b.total - b.line, 0)) / rate;
            t.secondsLeft = std::max(t.secondsLeft.value_or(0.0), left);
        }
    }
    return t;
}

QString formatDuration(double seconds) {
    const qint64 whole = static_cast<qint64>(std::ceil(std::max(seconds, 0.0)));
    const qint64 h = whole / 3600;
    const qint64 m = (whole / 60) % 60;
    const qint64 s = whole % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

namespace {
int percentOf(qint64 part, qint64 whole) {
    return whole > 0 ? static_cast<int>(part * 100 / whole) : 0;
}
} // namespace

QString Console::liveText() const {
    const Totals t = totals();
    if (t.sending == 0) {
        int waiting = -1;
        for (const Board &b : boards_)
            if (!b.ended)
                waiting = std::max(waiting, b.countdown);
        if (waiting < 0)
            return {};
        return QStringLiteral("Waiting for the bootloader: %1 s").arg(waiting);
    }
    const int percent = percentOf(t.lines, t.total);
    const int filled = static_cast<int>(t.lines * BarWidth / t.total);
    QString text = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                   QString(BarWidth - filled, QLatin1Char('.')) + QLatin1Char(']') +
                   QStringLiteral(" %1%").arg(percent, 3);
    if (t.linesPerSecond > 0)
        text += QStringLiteral("  %1 lines/s").arg(qRound(t.linesPerSecond));
    if (t.secondsLeft)
        text += QStringLiteral("  %1 left").arg(formatDuration(*t.secondsLeft));
    if (t.sending > 1)
        text += QStringLiteral("  %1 boards").arg(t.sending);
    return text;
}

QString Console::plainProgress() const {
    const Totals t = totals();
    QString text = QStringLiteral("progress %1% (%2/%3 lines")
                       .arg(percentOf(t.lines, t.total))
                       .arg(t.lines)
                       .arg(t.total);
    if (t.sending > 1)
        text += QStringLiteral(" on %1 boards").arg(t.sending);
    if (t.linesPerSecond > 0)
        text += QStringLiteral(", %1 lines/s").arg(qRound(t.linesPerSecond));
    if (t.secondsLeft)
        text += QStringLiteral(", %1 left").arg(formatDuration(*t.secondsLeft));
    return text + QLatin1Char(')');
}

void Console::clearLive() {
    if (!liveShown_)
        return;
    sink_(ClearLine);
    liveShown_ = false;
}

void Console::redraw() {
    if (!interactive_)
        return;
    lastDrawMs_ = clock_();
    const QString text = liveText();
    if (text.isEmpty()) {
        clearLive();
        return;
    }
    sink_(ClearLine + text.toLocal8Bit());
    liveShown_ = true;
}
