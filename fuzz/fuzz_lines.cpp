// The line splitter and the file streamer's end rule on arbitrary file contents.
// - LineReader, over reads of every size: each byte is part of a returned line or of its terminator
//   (CR, LF or CR LF, a CR LF never split in two), in order.
// - FileStreamer: the lines counted and sent are those a plain reading of the file gives, reading
//   while at least two bytes are unread, and the wire carries each of them followed by one LF.
#include "FakeSerialControl.h"
#include "FuzzSupport.h"
#include "RecordingView.h"
#include "VirtualClock.h"
#include "session/LineReader.h"
#include "session/ProgrammingSession.h"

#include <QBuffer>
#include <QList>
#include <cstring>

namespace {

// Hands out at most `step` bytes per read, as a pipe does, so that line ends fall on read
// boundaries; the splitter must not lose or split a CR LF across them.
class TrickleDevice final : public QIODevice {
public:
    TrickleDevice(QByteArray data, qint64 step) : data_(std::move(data)), step_(step) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return data_.size() - pos_ + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *out, qint64 max) override {
        const qint64 n = std::min({max, step_, qint64{data_.size() - pos_}});
        std::memcpy(out, data_.constData() + pos_, static_cast<std::size_t>(n));
        pos_ += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray data_;
    qint64 step_;
    qint64 pos_ = 0;
};

bool isTerminator(const QByteArray &t) {
    return t == "\r" || t == "\n" || t == "\r\n";
}

void checkSplitter(const QByteArray &data, qint64 step) {
    TrickleDevice device(data, step);
    LineReader reader(device);
    QByteArray rebuilt;
    QByteArray line;
    while (reader.position() < data.size()) {
        const qint64 before = reader.position();
        FUZZ_CHECK(reader.readLine(line));
        const qint64 after = reader.position();
        FUZZ_CHECK(after > before);
        FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'));
        const QByteArray terminator = data.mid(before + line.size(), after - before - line.size());
        // Only the last line may end without a terminator: at the end of the data.
        FUZZ_CHECK(isTerminator(terminator) || (terminator.isEmpty() && after == data.size()));
        // CR LF is one terminator: a CR followed by LF is never split in two.
        FUZZ_CHECK(!(terminator == "\r" && after < data.size() && data[after] == '\n'));
        rebuilt += line + terminator;
    }
    FUZZ_CHECK(rebuilt == data);
    // Past the end there is nothing more, and no error.
    FUZZ_CHECK(reader.readLine(line) && line.isEmpty() && reader.position() == data.size());
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
    return lines;
}

void checkStreamer(const QByteArray &data) {
    FakeSerialControl control;
    control.setInputLen(1);
    (void)control.setPortOpen(true);
    SerialLink link{control};
    VirtualClock clock;
    RecordingView view;
    const auto open = [&data](const QString &) -> std::unique_ptr<QIODevice> {
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData(data);
        buffer->open(QIODevice::ReadOnly);
        return buffer;
    };
    ProgrammingSession session(link, clock, view, open);
    session.setPacing(Pacing::fromSpeedIndex(-1)); // no pauses: the whole file goes out at once
    session.chooseFile(QStringLiteral("image.srec"));
    qint64 linesSent = 0;
    qint64 linesTotal = 0;
    QObject::connect(&session, &ProgrammingSession::lineSent,
                     [&](qint64 line, qint64 total, qint64) {
                         linesSent = line;
                         linesTotal = total;
                     });

    // A run up to SendingFile; the transfer starts 1 s after the "_".
    session.start();
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
    for (const qint64 step : {qint64{1}, qint64{2}, qint64{3}, qint64{1} << 20})
        checkSplitter(bytes, step);
    checkStreamer(bytes);
    return 0;
}
