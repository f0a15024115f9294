// The receive handler fed arbitrary device bytes in every session state, interleaved with timer
// ticks and the operator's actions. Properties: nothing crashes or throws, the state is always one
// of the four, the log shows exactly the bytes received (Latin-1) besides the session's own notes,
// and nothing reaches the wire but probes, the file command and whole file lines.
//
// Input: a set-up byte (start state, speed list index, slow drain, boot timeout), then operations:
//   0x00-0x7F  feed the next (op + 1) bytes as one arrival
//   0x80-0xBF  advance the virtual clock by the next byte times 1, 5, 100 or 1000 ms (op & 3),
//              ten minutes in all
//   0xC0-0xFF  an action (op & 7): start/cancel, "sFile", drain, connect, abort, or settle
#include "FakeSerialControl.h"
#include "FuzzSupport.h"
#include "RecordingView.h"
#include "VirtualClock.h"
#include "session/ProgrammingSession.h"

#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <cstdlib>

namespace {

const QByteArray Image = "S00F000068656C6C6F202020202000003C\r\n"
                         "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\r\n"
                         "S9030000FC\r\n";

// The image on disk, once per process: a run reads its file at START.
const QString &imagePath() {
    static QTemporaryDir dir;
    static const QString path = [] {
        QFile file(dir.filePath(QStringLiteral("image.srec")));
        if (!file.open(QIODevice::WriteOnly) || file.write(Image) != Image.size())
            std::abort();
        return file.fileName();
    }();
    return path;
}

// The recording view of the tests, with the received bytes also kept apart from the notes: the log
// mixes both, and notes are prepended as well as appended.
class SplitView final : public SessionView {
public:
    void showStage(Stage stage) override { recorded.showStage(stage); }
    void showProgress(double percent) override {
        FUZZ_CHECK(percent >= 0 && percent <= 100);
        recorded.showProgress(percent);
    }
    void showCountdown(int seconds) override { recorded.showCountdown(seconds); }
    void showStartAction(StartAction action) override { recorded.showStartAction(action); }
    void setStartEnabled(bool enabled) override { recorded.setStartEnabled(enabled); }
    void appendReceived(const QByteArray &bytes) override {
        FUZZ_CHECK(!bytes.isEmpty()); // an empty drain is not echoed
        received += bytes;
        recorded.appendReceived(bytes);
    }
    // The log grows by each note as the window lays it out.
    void appendNote(const QString &text) override {
        const qsizetype before = recorded.log.size();
        notes << text;
        recorded.appendNote(text);
        noteChars += recorded.log.size() - before;
    }
    void prependNote(const QString &text) override {
        const qsizetype before = recorded.log.size();
        notes << text;
        recorded.prependNote(text);
        noteChars += recorded.log.size() - before;
    }
    void showDotTimeout() override { recorded.showDotTimeout(); }
    void showCommError(int code) override { recorded.showCommError(code); }

    RecordingView recorded;
    QByteArray received;
    QStringList notes;
    qsizetype noteChars = 0;
};

struct Harness {
    explicit Harness(std::uint8_t setup) {
        control.setInputLen(1);
        control.setRThreshold(1);
        (void)control.setPortOpen(true);
        control.slowDrain = (setup & 0x20) != 0;
        session.setPacing(Pacing::fromSpeedIndex(((setup >> 2) & 7) % 7 -
                                                 1)); // -1 (no match) .. 5 ("Auto - fast")
        // The window's minute, none at all, or a few seconds to restart.
        static constexpr int BootSeconds[] = {60, 0, 1, 3};
        bootSeconds = BootSeconds[setup >> 6];
        session.setBootTimeout(bootSeconds);
        session.chooseFile(imagePath());
    }

    // "sFile" with no run: its one line goes out a second later, outside any run.
    bool tryOutPending() const {
        return tryOutArmedAt >= 0 && clock.now() < tryOutArmedAt + 1000 + 1;
    }

    void feed(const QByteArray &bytes) {
        control.feed(bytes);
        fed += bytes;
    }

    void check() const {
        const auto state = static_cast<std::int32_t>(session.state());
        FUZZ_CHECK(state >= 0 && state <= 3);
        FUZZ_CHECK(view.received == fed);
        FUZZ_CHECK(view.recorded.log.size() == fed.size() + view.noteChars);
        FUZZ_CHECK(session.countdown() >= 0 && session.countdown() <= bootSeconds);
        // A run that has ended leaves nothing armed that could still write to the port.
        FUZZ_CHECK(session.running() || session.transferRunning() || clock.nextDeadline() < 0 ||
                   tryOutPending());
    }

    // Everything written, less the probes and file commands, is whole image lines each ended by LF.
    void checkWire() {
        static const QList<QByteArray> lines = [] {
            QList<QByteArray> out;
            for (const QByteArray &line : Image.split('\n'))
                if (!line.isEmpty())
                    out << line.chopped(1); // the image's lines end in CR LF
            return out;
        }();
        QByteArray wire = control.written;
        wire.replace('i', QByteArray()).replace('f', QByteArray());
        FUZZ_CHECK(wire.isEmpty() || wire.endsWith('\n'));
        const QList<QByteArray> sent = wire.split('\n');
        for (qsizetype i = 0; i + 1 < sent.size(); ++i)
            FUZZ_CHECK(lines.contains(sent[i]));
    }

    FakeSerialControl control;
    VirtualClock clock;
    SerialLink link{control, clock};
    SplitView view;
    ProgrammingSession session{link, clock, view};
    QByteArray fed;
    int bootSeconds = 0;
    std::int64_t tryOutArmedAt = -1;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ensureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t setup = in.byte();
    Harness h(setup);

    // To the chosen state through the real handlers, the way a device gets there.
    const int start = setup & 3;
    if (start >= 1)
        h.session.start();
    if (start >= 2)
        h.feed(">");
    if (start >= 3)
        h.feed("_");
    FUZZ_CHECK(static_cast<int>(h.session.state()) == start);
    h.check();

    // Virtual time is cheap but not free: every 5 ms of a restart countdown sends a probe.
    std::int64_t timeLeft = 10 * 60'000;
    while (!in.empty()) {
        const std::uint8_t op = in.byte();
        if (op < 0x80) {
            h.feed(in.take(op + 1u));
        } else if (op < 0xC0) {
            static constexpr std::int64_t Units[] = {1, 5, 100, 1000};
            const std::int64_t step = std::min(in.byte() * Units[op & 3], timeLeft);
            timeLeft -= step;
            h.clock.advance(step);
        } else {
            switch (op & 7) {
            case 0:
                if (h.session.running())
                    h.session.cancel();
                else
                    h.session.start();
                break;
            case 1:
                if (!h.session.running() && !h.session.transferRunning())
                    h.tryOutArmedAt = h.clock.now();
                h.session.sendFileByHand();
                break;
            case 2:
                h.control.drain();
                break;
            case 3:
                h.session.connectionChanged();
                break;
            case 4:
                h.session.abort();
                break;
            default:
                h.clock.settle();
                break;
            }
        }
        h.check();
    }
    // Whatever is still pending runs out; a minute covers every timer the session has.
    h.control.drain();
    h.clock.advance(61'000);
    h.check();
    h.checkWire();
    return 0;
}
