// The line splitter and the file streamer's end rule on arbitrary file contents.
// - TextLines as a transfer reads: each byte is part of a returned line or of its terminator (CR,
// LF or CR LF, a CR LF
//   never split in two), in order, reading while at least two bytes are unread.
// - FileStreamer: the lines counted and sent are those a plain reading of the file gives, up to the
//   last one that is not blank, and the wire carries each of them followed by one LF.
#include "FakeSerialControl.h"
#include "FuzzSupport.h"
#include "RecordingView.h"
#include "VirtualClock.h"
#include "firmware/TextLines.h"
#include "session/ProgrammingSession.h"

#include <QList>
#include <cstring>

namespace {

bool isTerminator(const QByteArray &t) {
    return t == "\r" || t == "\n" || t == "\r\n";
}

void checkSplitter(const QByteArray &data) {
    firmware::TextLines cursor(data, firmware::TextLines::LoneLastByte::Dropped);
    QByteArray rebuilt;
    for (;;) {
        const qsizetype before = cursor.position();
        const std::optional<QByteArrayView> line = cursor.next();
        if (!line) {
            // Only a last byte that is no line is left unread.
            FUZZ_CHECK(data.size() - before <= 1);
            rebuilt += data.mid(before);
            break;
        }
        const qsizetype after = cursor.position();
        FUZZ_CHECK(after > before);
        FUZZ_CHECK(!line->contains('\r') && !line->contains('\n'));
        const QByteArray terminator =
            data.mid(before + line->size(), after - before - line->size());
        // Only the last line may end without a terminator: at the end of the data.
        FUZZ_CHECK(isTerminator(terminator) || (terminator.isEmpty() && after == data.size()));
        // CR LF is one terminator: a CR followed by LF is never split in two.
        FUZZ_CHECK(!(terminator == "\r" && after < data.size() && data[after] == '\n'));
        rebuilt += line->toByteArray() + terminator;
    }
    FUZZ_CHECK(rebuilt == data);
}

// The lines a plain reading of the file gives: a line ends at CR, LF or CR LF, and another line is
// read only while at least two bytes are unread (a last line of one byte is not sent).
QList<QByteArray> referenceLines(const QByteArray &data) {
    QList<QByteArray> lines;
    qsizetype pos = 0;
    while (data.size() - pos >= 2) {
        qsizetype end = pos;
        while (end < data.size() && data[end] != '\r' && data[end] != '\n')
            ++end;
        lines << data.mid(pos, end - pos);
        pos = end;
        if (end < data.size()) {
            pos = end + 1;
            if (data[end] == '\r' && pos < data.size() && data[pos] == '\n')
                ++pos;
        }
    }
    // Blank lines after the last line that is not blank are not sent.
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

void checkStreamer(const QByteArray &data) {
    FakeSerialControl control;
    control.setInputLen(1);
    (void)control.setPortOpen(true);
    VirtualClock clock;
    SerialLink link{control, clock};
    RecordingView view;
    ProgrammingSession session(link, clock, view);
    session.setPacing(Pacing::fromSpeedIndex(-1)); // no pauses: the whole file goes out at once
    session.chooseFile(QStringLiteral("image.srec"));
    qint64 linesSent = 0;
    qint64 linesTotal = 0;
    QObject::connect(&session, &ProgrammingSession::lineSent,
                     [&](qint64 line, qint64 total, qint64) {
                         linesSent = line;
                         linesTotal = total;
                     });

    // A file the check refuses starts no run and sends nothing.
    const auto snapshot = FileSnapshot::of(QStringLiteral("image.srec"), data);
    if (!session.start(snapshot)) {
        FUZZ_CHECK(!snapshot->refusal().isEmpty());
        FUZZ_CHECK(session.state() == SessionState::Idle);
        FUZZ_CHECK(control.written.isEmpty());
        return;
    }
    // A run up to SendingFile; the transfer starts 1 s after the "_".
    control.feed(">");
    control.feed("_");
    FUZZ_CHECK(session.state() == SessionState::SendingFile);
    clock.advance(ProgrammingRun::FileStartDelayMs - 1);
    FUZZ_CHECK(!session.transferRunning());
    control.written.clear(); // the file command
    clock.advance(1);
    FUZZ_CHECK(!session.transferRunning());

    const QList<QByteArray> lines = referenceLines(data);
    QByteArray wire;
    for (const QByteArray &line : lines)
        wire += line + '\n';
    FUZZ_CHECK(lines.isEmpty() || linesTotal == lines.size());
    FUZZ_CHECK(linesSent == lines.size());
    FUZZ_CHECK(control.written == wire);
    FUZZ_CHECK(session.state() == SessionState::SendingFile); // a finished transfer ends no run
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    checkSplitter(bytes);
    checkStreamer(bytes);
    return 0;
}
