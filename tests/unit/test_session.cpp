// The session controller, receive handler and token actions in virtual time.
#include "SRecordWriter.h"
#include "SessionRig.h"

#include <QFile>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace {

class SessionTest : public SessionRig {};

const QString Note =
    QStringLiteral("Ohjelmointi keskeytetty! Ole hyvä ja ohjelmoi laite uudelleen.\r\n"
                   "Kytke laitteesta virrat pois ja takasin päälle!\r\n\r\n");

} // namespace

TEST_F(SessionTest, theCountdownRunsFrom59To0AndFailsOneSecondLater) {
    connectReset();
    press();
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 0")) << "right after a connect";
    EXPECT_FALSE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::WaitBootPrompt);
    for (int left = 59; left >= 0; --left) {
        clock.advance(1000);
        ASSERT_EQ(view.startCaption, QStringLiteral("Waiting restart: %1").arg(left));
        ASSERT_EQ(state(), SessionState::WaitBootPrompt);
    }
    // The last probe goes out on the first probe tick that finds the count at 0.
    EXPECT_EQ(count('i'), 60000 / 5);
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));

    clock.advance(1000);
    EXPECT_EQ(view.log, QStringLiteral("\r\nRestart to bootprogram failled!"));
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora")) << "the caption is left alone";
    EXPECT_TRUE(nothingArmed());
    EXPECT_EQ(count('i'), 60000 / 5);
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(lastEnd(), RunResult::NoBootPrompt);
}

TEST_F(SessionTest, rightAfterStartUpTheButtonShows60) {
    press();
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 60"));
    clock.advance(1000);
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 59"));
}

TEST_F(SessionTest, aPromptAfterTheZeroButBeforeTheNextTickIsAccepted) {
    press();
    clock.advance(60'000);
    ASSERT_EQ(session->countdown(), 0);
    clock.advance(500);
    control.feed(">");
    EXPECT_EQ(state(), SessionState::WaitFileRequest);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Bootprogram started"));
    clock.advance(600);
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));
}

TEST_F(SessionTest, thePromptStopsTheProbesAndSendsFOnce333msLater) {
    press();
    clock.advance(2000);
    const int probes = count('i');
    control.feed(">\r\n");
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Bootprogram started"));
    EXPECT_EQ(view.startCaption, QStringLiteral("CANCEL"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(session->countdown(), 60);
    EXPECT_EQ(view.log, QStringLiteral(">\r\n"));
    clock.advance(332);
    EXPECT_EQ(count('f'), 0);
    clock.advance(1);
    EXPECT_EQ(count('f'), 1);
    clock.advance(2000);
    EXPECT_EQ(count('f'), 1);
    EXPECT_EQ(count('i'), probes);
}

TEST_F(SessionTest, theWatchdogFires3000msAfterThePromptAndAfterEachDot) {
    press();
    control.feed(">");
    clock.advance(2999);
    EXPECT_EQ(state(), SessionState::WaitFileRequest);
    control.feed("."); // a "." before "_" does not re-arm it
    clock.advance(1);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Programming FAILLED"));
    EXPECT_EQ(view.boxes, QStringList{QStringLiteral("Error: DOT Timeout")});
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(lastEnd(), RunResult::AckTimeout);

    view.boxes.clear();
    // While the file is going out, every "." re-arms it.
    QByteArray longFile;
    for (int i = 0; i < 200; ++i)
        longFile += SRecordWriter::record('1', static_cast<quint32>(16 * i), "x") + "\n";
    useFile(longFile);
    speed(Pacing::AutoSpeedIndex);
    press();
    control.feed(">");
    clock.advance(400);
    control.feed("_"); // does not re-arm it
    clock.advance(2000);
    control.feed(".");
    for (int i = 0; i < 5; ++i) {
        clock.advance(2999);
        control.feed(".");
    }
    EXPECT_TRUE(view.boxes.isEmpty());
    clock.advance(2999);
    EXPECT_TRUE(view.boxes.isEmpty());
    clock.advance(1);
    EXPECT_EQ(view.boxes.size(), 1);
}

TEST_F(SessionTest, programmedEndsTheRunAndTheRestOfTheTextIsOnlyLogged) {
    // What a front end adds on the end (a note on its run history) follows the device's text.
    QObject::connect(session.get(), &ProgrammingSession::runEnded, session.get(),
                     [&](const RunSummary &) { view.appendNote(QStringLiteral("[recorded]")); });
    toSendingFile();
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Sending File"));
    clock.advance(1000); // streamer: both lines out
    control.feed(".");
    clock.advance(60);
    control.feed(".Programmed successfully! Restarting device....\r\n");
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_TRUE(nothingArmed());
    EXPECT_TRUE(view.log.endsWith(
        QStringLiteral("Programmed successfully! Restarting device....\r\n\r\n[recorded]")));
    clock.advance(5000);
    EXPECT_TRUE(view.boxes.isEmpty());
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED")) << "the end status stays";
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(lastEnd(), RunResult::Programmed);
}

TEST_F(SessionTest, onlyTheFourStateTokenPairsAct) {
    const char tokens[] = {'>', '_', '.', 'P', 'p', 'i', '\r'};
    for (SessionState s :
         {SessionState::WaitBootPrompt, SessionState::WaitFileRequest, SessionState::SendingFile}) {
        for (char token : tokens) {
            SCOPED_TRACE(std::string(1, token) + " in state " +
                         std::to_string(static_cast<int>(s)));
            // Fresh run into state s.
            session->abort();
            view = RecordingView{};
            press();
            if (s != SessionState::WaitBootPrompt)
                control.feed(">");
            if (s == SessionState::SendingFile)
                control.feed("_");
            ASSERT_EQ(state(), s);
            const QString caption = view.caption;
            control.feed(QByteArray(1, token));
            // A "P" before the file has gone out is device text (see the verdict's tests).
            const bool moves = (s == SessionState::WaitBootPrompt && token == '>') ||
                               (s == SessionState::WaitFileRequest && token == '_');
            if (moves) {
                EXPECT_NE(state(), s);
            } else {
                EXPECT_EQ(state(), s);
                EXPECT_EQ(view.caption, caption);
            }
            EXPECT_TRUE(view.log.endsWith(QChar::fromLatin1(token))) << "every read is logged";
        }
    }
}

TEST_F(SessionTest, anyReadWhileIdleReArmsTheStartButton) {
    view.startEnabled = false;
    view.startCaption = QStringLiteral("Waiting restart: 12");
    control.feed("x");
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);

    (void)control.setPortOpen(false);
    view.startEnabled = false;
    control.feed("y");
    EXPECT_FALSE(view.startEnabled) << "port closed: the rule does not enable";
}

// A run ends at once by CANCEL, a connect or disconnect and a lost port, in each of its states:
// nothing more goes to the port, nothing it armed ticks again, no DOT Timeout follows, and the
// button reads START PROGRAMMING, enabled exactly when a run could start.
TEST_F(SessionTest, everyWayOfStoppingARunStopsEverythingItArmed) {
    enum class Stop { Cancel, Connect, LosePort };
    struct Reached {
        const char *name;
        std::function<void()> reach;
    };
    const std::vector<Reached> points = {
        {"counting down", [&] { clock.advance(3000); }},
        {"with f pending", [&] { clock.advance(50), control.feed(">"); }},
        {"with the file start pending",
         [&] { clock.advance(50), control.feed(">"), clock.advance(333), control.feed("_"); }},
        {"mid-transfer",
         [&] {
             clock.advance(50), control.feed(">"), clock.advance(333), control.feed("_"),
                 clock.advance(1000);
         }},
    };
    for (const Stop stop : {Stop::Cancel, Stop::Connect, Stop::LosePort}) {
        for (const Reached &point : points) {
            // A port lost before the first line is followed (see the following test); mid-transfer
            // is right after the first line.
            if (stop == Stop::LosePort && &point != &points.back())
                continue;
            SCOPED_TRACE(std::string(point.name) + ", stop " +
                         std::to_string(static_cast<int>(stop)));
            control.present = true;
            (void)control.setPortOpen(true);
            view = RecordingView{};
            view.log = QStringLiteral("earlier text");
            session->chooseFile(
                session->selectedFile()); // re-enables the button while counting down
            press();
            point.reach();
            ASSERT_TRUE(session->running());
            const QString caption = view.caption;
            const qsizetype endsBefore = ends.size();

            switch (stop) {
            case Stop::Cancel:
                press();
                EXPECT_TRUE(view.log.startsWith(Note + QStringLiteral("earlier text")));
                EXPECT_EQ(lastEnd(), RunResult::Cancelled);
                EXPECT_EQ(view.caption, caption) << "a cancel leaves the caption";
                break;
            case Stop::Connect:
                connectReset();
                EXPECT_EQ(session->countdown(), 0);
                EXPECT_EQ(lastEnd(), RunResult::Cancelled);
                break;
            case Stop::LosePort:
                control.loseDevice();
                EXPECT_EQ(view.boxes, QStringList{QStringLiteral("COM error 1103")});
                EXPECT_TRUE(view.log.endsWith(
                    QStringLiteral("\r\n%1: the device disappeared; the board got 0 of 2 lines: "
                                   "plug it back in and program it again")
                        .arg(control.devicePath())))
                    << view.log.toStdString();
                EXPECT_EQ(lastEnd(), RunResult::PortError);
                break;
            }
            EXPECT_EQ(ends.size(), endsBefore + 1) << "one end per run";
            EXPECT_EQ(state(), SessionState::Idle);
            EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
            EXPECT_EQ(view.startEnabled, stop != Stop::LosePort);
            EXPECT_TRUE(nothingArmed());

            const QByteArray written = control.written;
            const QStringList captions = view.captions;
            clock.advance(70'000);
            EXPECT_EQ(control.written, written) << "nothing written after the stop";
            EXPECT_EQ(view.captions, captions);
            EXPECT_FALSE(view.boxes.contains(QStringLiteral("Error: DOT Timeout")));
            EXPECT_EQ(ends.size(), endsBefore + 1);
        }
    }
}

// Before the first line a port that goes away is followed: no box, no end, the run's countdown
// goes on (after the prompt, from where it stood when the prompt came), and the probes go out again
// once the device is back. Only a countdown that runs out while it is away ends the run, saying so.
TEST_F(SessionTest, aPortThatGoesAwayBeforeTheFirstLineIsFollowed) {
    const auto probes = [&] { return count('i'); };
    struct Case {
        const char *name;
        std::function<void()> before; // what happens before START, if anything
        const char *said;             // what the board said before its port went, 1 s after START
        std::int64_t awayMs;          // -1: never back
        RunResult result;
    };
    const Case cases[] = {
        {"in the countdown, back 1 s later", {}, "", 1000, RunResult::Programmed},
        {"START while away, back 2 s later", [&] { control.loseDevice(); }, "", 2000,
         RunResult::Programmed},
        {"in the countdown, never back", {}, "", -1, RunResult::NoBootPrompt},
        {"after the prompt, back 1.5 s later", {}, ">", 1500, RunResult::Programmed},
        {"after the file request, back 1.5 s later", {}, ">_", 1500, RunResult::Programmed},
        {"after the prompt, never back", {}, ">", -1, RunResult::NoBootPrompt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        session->abort();
        control.present = true;
        ASSERT_TRUE(link.connectPort(1).ok());
        view = RecordingView{};
        ends.clear();
        if (c.before)
            c.before();
        press();
        ASSERT_EQ(state(), SessionState::WaitBootPrompt) << "a port away is still connected";
        clock.advance(1000);
        const QByteArray said(c.said);
        if (said.contains('>'))
            control.feed(">"), clock.advance(100);
        if (said.contains('_'))
            clock.advance(233), control.feed("_"), clock.advance(500);
        if (!c.before)
            control.loseDevice();
        EXPECT_TRUE(link.away() && control.watching);
        EXPECT_EQ(session->awayBeforeFirstLine(), !said.isEmpty());
        if (!said.isEmpty()) {
            EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 59"));
        }
        const QByteArray writtenAway = control.written;
        const int probesAway = probes();
        clock.advance(c.awayMs < 0 ? 70'000 : c.awayMs);
        EXPECT_EQ(control.written, writtenAway) << "nothing is sent while the port is away";
        EXPECT_TRUE(view.boxes.isEmpty());
        if (c.awayMs < 0) {
            ASSERT_EQ(ends.size(), 1);
            EXPECT_EQ(lastEnd(), c.result);
            EXPECT_TRUE(view.log.endsWith(
                QStringLiteral("Restart to bootprogram failled!\r\n%1 was away when the time ran "
                               "out: the board's port did not come back. Check its cable and its "
                               "power.")
                    .arg(control.devicePath())))
                << view.log.toStdString();
            continue;
        }
        control.plugIn();
        EXPECT_TRUE(control.portOpen() && !link.away());
        EXPECT_EQ(probes(), probesAway + 1) << "the first probe goes out as the port is back";
        clock.advance(5);
        EXPECT_EQ(probes(), probesAway + 2) << "and probing goes on";
        control.feed(">");
        clock.advance(333);
        control.feed("_");
        clock.advance(1200); // both lines out
        control.feed("..P");
        ASSERT_EQ(ends.size(), 1);
        EXPECT_EQ(lastEnd(), c.result);
        // The board restarts after its verdict and takes its port with it: the end stays.
        control.loseDevice();
        EXPECT_TRUE(view.boxes.isEmpty());
        EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
        control.plugIn();
        EXPECT_TRUE(control.portOpen());
    }
}

// A prompt or answers that never came may have gone to another program reading the port: the end's
// note names it, so that the board is not blamed.
TEST_F(SessionTest, anEndWithoutPromptOrAnswersNamesAnotherReaderOfThePort) {
    control.otherReaders = QStringLiteral("cat (pid 7) also has /dev/fake0 open");
    for (const std::function<void()> &fail :
         {std::function<void()>([&] { clock.advance(61'000); }),
          std::function<void()>([&] { control.feed(">"), clock.advance(3000); })}) {
        press();
        fail();
        EXPECT_TRUE(!session->running() && ends.constLast().note.endsWith(control.otherReaders));
        EXPECT_TRUE(view.log.endsWith(control.otherReaders)) << view.log.toStdString();
    }
}

TEST_F(SessionTest, startingWithoutPortOrFileDisablesTheButtonOnly) {
    (void)control.setPortOpen(false);
    view.startEnabled = true;
    press();
    EXPECT_FALSE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_TRUE(nothingArmed());
    EXPECT_TRUE(control.written.isEmpty());
}

TEST_F(SessionTest, receiveHandlerReportsErrorEventsFirstAndReadsNothingWhilePortError) {
    control.feed("ab");
    control.injectError(1102);
    EXPECT_EQ(view.boxes, QStringList{QStringLiteral("COM error 1102")});
    EXPECT_EQ(view.log, QStringLiteral("ab"));

    // A close that failed leaves the port open and the link silent.
    control.failCloseWith = QStringLiteral("refused");
    ASSERT_FALSE(link.disconnectPort().ok());
    control.feed(">>>");
    EXPECT_EQ(view.log, QStringLiteral("ab"));
    EXPECT_EQ(control.inBufferCount(), 3) << "left in the buffer";
    ASSERT_TRUE(link.connectPort(1).ok());
    control.feed("c");
    EXPECT_EQ(view.log, QStringLiteral("ab>>>c"));
}

TEST_F(SessionTest, abortStopsEverythingAtOnce) {
    toSendingFile();
    clock.advance(1000);
    session->abort();
    const QByteArray sent = control.written;
    clock.advance(10'000);
    EXPECT_EQ(control.written, sent);
    EXPECT_TRUE(view.boxes.isEmpty());
    EXPECT_EQ(lastEnd(), RunResult::Cancelled);
}

TEST_F(SessionTest, theBootTimeoutIsAParameter) {
    session->setBootTimeout(5);
    press();
    clock.advance(6000);
    EXPECT_EQ(lastEnd(), RunResult::NoBootPrompt);
    EXPECT_EQ(count('i'), 5000 / 5);
}

TEST_F(SessionTest, aRunStartedFromTheEndReportOfTheLastOneIsSafe) {
    // A front end may start the next board from its runEnded slot, still inside the ended run's
    // tick.
    bool restarted = false;
    QObject::connect(session.get(), &ProgrammingSession::runEnded, session.get(),
                     [&](const RunSummary &) {
                         if (!std::exchange(restarted, true))
                             session->start();
                     });
    press();
    control.feed(">");
    // The watchdog ends the run (its box comes after the report) and the next one starts.
    clock.advance(3000);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(view.boxes, QStringList{QStringLiteral("Error: DOT Timeout")});
    EXPECT_EQ(state(), SessionState::WaitBootPrompt);
    control.feed(">");
    clock.advance(3000); // its own watchdog
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(lastEnd(), RunResult::AckTimeout);
}

// The verdict: "P" ends a run well only once every line of the file has gone out, the termination
// record last when there is one; before that it is device text, logged and nothing more.
TEST_F(SessionTest, aPEndsTheRunOnlyAfterTheLastLine) {
    const QByteArray terminated = dataRecord(0) + "\n" + dataRecord(1) + "\nS9030000FC\n";
    const QByteArray unterminated = dataRecord(0) + "\n" + dataRecord(1) + "\n";
    speed(0); // a line every 20 ms, whatever the device says
    for (const QByteArray &file : {terminated, unterminated}) {
        const int lines = static_cast<int>(file.count('\n'));
        SCOPED_TRACE(lines);
        session->abort();
        useFile(file);
        toSendingFile();
        control.feed("P"); // before the transfer
        clock.advance(1000);
        for (int line = 1; line < lines; ++line) {
            control.feed("Power ok.\r\n."); // text holding a "P", then the line's answer
            ASSERT_EQ(state(), SessionState::SendingFile) << "after line " << line;
            clock.advance(20);
        }
        ASSERT_EQ(static_cast<int>(control.written.count('\n')), lines);
        control.feed(".P");
        EXPECT_EQ(lastEnd(), RunResult::Programmed);
        EXPECT_EQ(ends.constLast().linesSent, lines);
        EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
    }

    // "Auto - fast": the "." of the line before the termination record and a "P" in one read. The
    // "P" comes before the termination record has gone out.
    speed(Pacing::AutoSpeedIndex);
    useFile(terminated);
    toSendingFile();
    clock.advance(1000);
    control.feed(".");
    control.feed(".P");
    EXPECT_EQ(state(), SessionState::SendingFile);
    EXPECT_TRUE(control.written.endsWith("S9030000FC\n")) << "the termination record went out";
    control.feed("P");
    EXPECT_EQ(lastEnd(), RunResult::Programmed);
}

// A file that cannot program the device is refused at START, before the operator is asked to
// restart it: no countdown, no probe, no run; one note names the file, the line and the reason.
TEST_F(SessionTest, aFileThatCannotProgramTheDeviceIsRefusedAtStart) {
    QByteArray badLine100;
    for (int n = 0; n < 99; ++n)
        badLine100 += dataRecord(n) + "\n";
    badLine100 += dataRecord(99).chopped(2) + "00\nS9030000FC\n";
    struct Case {
        const char *name;
        std::optional<QByteArray> content; // none: no file at all
        const char *reason;
    };
    const Case cases[] = {
        {"empty", QByteArray(), "the file is empty"},
        {"header only", "S00600004844521B\n", "no data record (S1, S2 or S3)"},
        {"blank lines only", "\n\r\n\n", "no S-record in it"},
        {"a bad checksum on line 100", badLine100,
         "line 100 is not a valid S-record (bad checksum)"},
        {"a byte-order mark", "\xEF\xBB\xBF" + dataRecord(0) + "\n",
         "starts with a UTF-8 byte-order mark (EF BB BF), which the device would take as part of "
         "the first record: save the file without it"},
        {"blanks after a checksum", dataRecord(0) + "\n" + dataRecord(1) + " \t\n",
         "image.srec has 2 blanks after its checksum, which the device would take as part of the "
         "record: remove them"},
        {"a NUL byte", dataRecord(0) + "\n" + QByteArray(1, '\0') + dataRecord(1) + "\n",
         "line 2 is not a valid S-record"},
        {"a 100,000-character line", "S1" + QByteArray(100'000, '0') + "\n", "(too long)"},
        {"an S9 with a data byte", dataRecord(0) + "\nS9040000AA51\n",
         "(byte count wrong for an S9 record)"},
        {"a record after the termination record",
         dataRecord(0) + "\nS9030000FC\n" + dataRecord(1) + "\n",
         "line 3 follows the termination record on line 2"},
        {"missing", std::nullopt, "cannot read the file (no such file)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = useFile(c.content.value_or(QByteArray()));
        if (!c.content)
            QFile::remove(path);
        view = RecordingView{};
        refusals.clear();
        control.written.clear();
        press();
        clock.advance(100);
        EXPECT_TRUE(control.written.isEmpty()) << "no probe";
        EXPECT_FALSE(session->running());
        EXPECT_TRUE(ends.isEmpty()) << "no run";
        EXPECT_TRUE(nothingArmed());
        EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Programming FAILLED"));
        ASSERT_EQ(refusals.size(), 1);
        EXPECT_EQ(view.log, QStringLiteral("\r\n") + refusals.first()) << "one note";
        EXPECT_TRUE(view.log.contains(path));
        EXPECT_TRUE(view.log.contains(QString::fromLatin1(c.reason))) << view.log.toStdString();
        EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
        EXPECT_TRUE(view.startEnabled);
    }
}

// The verdict against devices that speak the protocol in their own ways, and against devices that
// do not: PROGRAMMED exactly when every line went out, every line before the last was answered and
// "P" came after that; otherwise the failure, with a note that says how far the device got. Every
// "." counts, wherever it stands; it answers the oldest line not yet answered, or none.
TEST_F(SessionTest, theVerdictFollowsWhatTheDeviceSaysNotHowItSaysIt) {
    const QByteArray end = "Programmed successfully! Restarting device....\r\n";
    const QByteArray banner = "\r\nBoot 1.2. Power ok. Press any key...\r\n";
    const auto every = [](std::int64_t period, std::int64_t from, std::int64_t until,
                          const QByteArray &text, Timeline out = {}) {
        for (std::int64_t at = from; at <= until; at += period)
            out.emplace(at, text);
        return out;
    };
    struct Case {
        const char *device;
        int lines; // the last one the termination record
        int speedIndex;
        std::function<QByteArray(int n, const QByteArray &line)> answer;
        int answerDelayMs = 0;
        Timeline afterLastLine = {}, fromTransferStart = {};
        RunResult result = RunResult::Programmed;
        const char *note = ""; // in the log, for a failure
        std::int64_t endsAfterLastLineMs = -1;
    };
    const int last = 21, Auto = Pacing::AutoSpeedIndex;
    const RunResult Programmed = RunResult::Programmed, Failed = RunResult::AckTimeout;
    // `perLine` to each line but `missed` (`twice` twice), `lastLine` to the last.
    const auto says = [&](QByteArray perLine, QByteArray lastLine, int missed = 0, int twice = 0) {
        return [=](int n, const QByteArray &) {
            return n == last     ? lastLine
                   : n == missed ? ""
                   : n == twice  ? perLine + perLine
                                 : perLine;
        };
    };
    const auto echoes = [&](QByteArray after) {
        return [=](int n, const QByteArray &line) { return line + after + (n == last ? end : ""); };
    };
    // clang-format off
    const Case cases[] = {
        {"echoes each line without its line feed", last, 2, echoes(".")},
        {"echoes each line with its line feed", last, Auto, echoes("\n.")},
        {"answers OK.", last, 2, says("OK.\r\n", "OK.\r\n" + end)},
        {"answers a dot and a line end", last, Auto, says(".\r\n", ".\r\n" + end)},
        {"answers twice, and P 2.9 s later", last, 0, says("..", ".."), 0, {{2900, end}}},
        {"answers each line once the next has gone", last, 0, says(".", "." + end), 30},
        {"says P mid-transfer", last, 0, says(".", "." + end), 0, {}, {{50, "Power ok.\r\n"}}},
        {"answers the termination record with its P", last, 0, says(".", end)},
        {"writes its flash for 5 s after the last line, a keep-alive dot a second", last, 0,
         says(".", "Writing flash"), 0, every(1000, 1000, 4000, ".", {{5000, end}})},
        {"keeps talking after the last line, never a P", last, 0, says(".", "Writing flash"), 0,
         every(1000, 1000, 100'000, "."), {}, Failed,
         "answered 21 of 21 lines and kept talking for 30 s after the last one, but never reported",
         ProgrammingRun::ProgrammedWaitMs},
        {"misses line 7's answer, then P for the termination record", last, 0, says(".", end, 7), 0,
         {}, {}, Failed, "reported the image programmed (\"P\") when it had answered 19 of 21 lines",
         ProgrammingRun::DotTimeoutMs},
        {"answers line 2 twice and misses line 7's", last, 0, says(".", end, 7, 2), 0, {}, {}, Failed,
         "when it had answered 19 of 21 lines"},
        {"stops answering after line 10", last, 0, [](int n, auto &) { return QByteArray(n <= 10 ? "." : ""); },
         0, {}, {}, Failed, "answered 10 of 21 lines (21 sent), then fell silent"},
        {"restarts after line 100, then a banner with P and dots every 1.5 s", 515, 0,
         [](int n, auto &) { return QByteArray(n < 100 ? "." : ""); }, 0, {},
         every(1500, 2000, 60'000, banner), Failed, "kept talking for 30 s after the last one",
         ProgrammingRun::ProgrammedWaitMs},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        const std::int64_t lastLineAt =
            playDevice({c.lines, c.answer, c.answerDelayMs, c.afterLastLine, c.fromTransferStart},
                       c.speedIndex);
        const int taken = linesTaken;
        ASSERT_EQ(ends.size(), 1);
        EXPECT_EQ(lastEnd(), c.result) << view.log.right(300).toStdString();
        EXPECT_EQ(taken, c.lines) << "every line went out, once";
        EXPECT_EQ(view.captions.contains(QStringLiteral("Tarnix Pellora, PROGRAMMED")),
                  c.result == Programmed);
        EXPECT_EQ(view.boxes.isEmpty(), c.result == Programmed);
        EXPECT_TRUE(view.log.contains(QString::fromUtf8(c.note)))
            << view.log.right(300).toStdString();
        if (c.endsAfterLastLineMs >= 0) {
            EXPECT_NEAR(clock.now() - lastLineAt, c.endsAfterLastLineMs, 100);
        }
    }
}

// After "P" a run with an expectation reads on until the application says what it should, reports
// a fault, or stays silent for the bound: the image went in either way, and only the greeting
// makes the board booted. A "P" said while two or more answers were owed is a warning. The final
// wait bounds a slow write after the last line.
TEST_F(SessionTest, theApplicationsGreetingProvesTheBoardBoots) {
    const QByteArray end = "Programmed successfully! Restarting device....\r\n";
    const QByteArray banner = "\r\nBoot 1.2. Power ok. Press any key...\r\n";
    const BootExpectation app{
        // A half-read greeting would match too, with half a version.
        QRegularExpression(QStringLiteral("^App (?<version>\\S+)( uid=(?<uid>[0-9A-F]+))?")),
        QRegularExpression(QStringLiteral("HardFault|panic")), 15};
    const BootExpectation prompt{QRegularExpression(QStringLiteral("^app>$")), {}, 15};
    const auto every = [](std::int64_t period, std::int64_t from, std::int64_t until,
                          const QByteArray &text, Timeline out = {}) {
        for (std::int64_t at = from; at <= until; at += period)
            out.emplace(at, text);
        return out;
    };
    using Verdict = BootCheck::Verdict;
    const QMap<QString, QString> greeted{{QStringLiteral("version"), QStringLiteral("2.4.1")},
                                         {QStringLiteral("uid"), QStringLiteral("0042A1")}};
    struct Case {
        const char *device;
        int lines;
        std::function<QByteArray(int n, const QByteArray &line)> answer;
        Timeline afterLastLine;
        std::optional<BootExpectation> expect;
        RunResult result;
        std::optional<Verdict> boot;
        const char *note = "";
        bool warned = false;
        int answerDelayMs = 0;
        Timeline fromTransferStart = {};
        int finalWaitSeconds = 30;
    };
    const auto dots = [&](int upTo) {
        return [=](int n, const QByteArray &) { return QByteArray(n < upTo ? "." : ""); };
    };
    const auto answers = [&](int lines) {
        return [=](int n, const QByteArray &) { return n == lines ? end : QByteArray("."); };
    };
    const RunResult Programmed = RunResult::Programmed;
    // clang-format off
    const Case cases[] = {
        {"greets 0.8 s after P", 21, answers(21), {{800, "App 2.4.1 uid=0042A1\r\n"}}, app,
         Programmed, Verdict::Booted, "The application said \"App 2.4.1 uid=0042A1\" 0.8 s after"},
        {"greets in two reads", 21, answers(21), {{800, "App 2."}, {900, "4.1 uid=0042A1\r\n"}}, app,
         Programmed, Verdict::Booted},
        {"greets once its port is back", 21, answers(21),
         {{100, Unplug}, {1100, PlugIn}, {1500, "App 2.4.1 uid=0042A1\r\n"}}, app, Programmed,
         Verdict::Booted},
        {"prompts without a line end", 21, answers(21), {{500, "app> "}}, prompt, Programmed,
         Verdict::Booted},
        {"reports a fault", 21, answers(21), {{500, "HardFault at 0x08001234\r\n"}}, app, Programmed,
         Verdict::Fault, "the application reported a fault: \"HardFault at 0x08001234\""},
        {"says nothing more", 21, answers(21), {}, app, Programmed, Verdict::Silent,
         "said nothing that matched within 15 s; the last line it said: \"Programmed successfully! "
         "Restarting device....\""},
        {"restarts 20 lines before the end into a banner that never stops, without expectation",
         515, dots(495), {}, std::nullopt, Programmed, std::nullopt,
         "said \"P\" while it still owed 17 answers: it may have restarted", true, 0,
         every(700, 9'900, 200'000, banner)},
        {"the same, with the greeting expected", 515, dots(495), {}, app, Programmed,
         Verdict::Silent, "Boot 1.2. Power ok. Press any key...", true, 0,
         every(700, 9'900, 200'000, banner)},
        {"says P in its text while it is behind", 21, answers(21), {{50, "Power ok.\r\n"}},
         std::nullopt, Programmed, std::nullopt, "still owed", true, 200},
        {"writes its flash for 40 s, a dot a second, within a final wait of 30 s", 21,
         answers(20), every(1000, 1000, 39'000, ".", {{40'000, end}}), std::nullopt,
         RunResult::AckTimeout, std::nullopt, "kept talking for 30 s after the last one"},
        {"the same within 60 s", 21, answers(20), every(1000, 1000, 39'000, ".", {{40'000, end}}),
         std::nullopt, Programmed, std::nullopt, "", false, 0, {}, 60},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device);
        session->setBootExpectation(c.expect);
        session->setFinalWait(c.finalWaitSeconds);
        playDevice({c.lines, c.answer, c.answerDelayMs, c.afterLastLine, c.fromTransferStart}, 0);
        ASSERT_EQ(ends.size(), 1);
        const RunSummary &run = ends.constLast();
        EXPECT_EQ(run.result, c.result) << view.log.right(300).toStdString();
        EXPECT_EQ(run.boot.has_value(), c.boot.has_value());
        if (run.boot && c.boot) {
            EXPECT_EQ(run.boot->verdict, *c.boot) << run.boot->line.toStdString();
            const bool byApp = c.expect->expect.pattern() == app.expect.pattern();
            const QMap<QString, QString> groups =
                *c.boot == Verdict::Booted && byApp ? greeted : QMap<QString, QString>();
            EXPECT_EQ(run.boot->groups, groups);
        }
        EXPECT_EQ(!run.warnings.isEmpty(), c.warned) << run.warnings.join('\n').toStdString();
        EXPECT_TRUE(view.log.contains(QString::fromUtf8(c.note)))
            << view.log.right(400).toStdString();
    }
    session->setBootExpectation(std::nullopt);
}
