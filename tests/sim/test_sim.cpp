// The simulator driven over its pty (or a socket or tty it is given) by a bare host written with
// plain POSIX calls, so these tests check the device side against the wire format itself rather
// than against the project's host.

#include "SRecordWriter.h"
#include "SimProcess.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

const std::string Closing = "Programmed successfully! Restarting device....\r\n";

// The host's end of the line: the pty's slave it opens, or a descriptor it is given (a socket the
// simulator connected to, the master of a pty whose slave the simulator took as its tty).
class LineHost {
public:
    explicit LineHost(const QString &path) {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        setLine(B57600);
    }
    explicit LineHost(int fd) : fd_(fd) {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    // Raw, at `speed`, with `framing` (CSIZE, PARENB, PARODD, CSTOPB bits) in place of 8N1.
    // False when the tty did not keep that framing.
    bool setLine(speed_t speed, tcflag_t framing = CS8) {
        constexpr tcflag_t Framing = CSIZE | PARENB | PARODD | CSTOPB;
        termios mode{};
        if (fd_ < 0 || ::tcgetattr(fd_, &mode) != 0)
            return false;
        ::cfmakeraw(&mode);
        ::cfsetspeed(&mode, speed);
        mode.c_cflag = (mode.c_cflag & ~Framing) | framing;
        ::tcsetattr(fd_, TCSANOW, &mode);
        return ::tcgetattr(fd_, &mode) == 0 && (mode.c_cflag & Framing) == framing;
    }
    ~LineHost() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    void send(std::string_view bytes) {
        const auto deadline = Clock::now() + 10s;
        while (!bytes.empty() && Clock::now() < deadline) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                break;
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 50);
            }
        }
        ASSERT_TRUE(bytes.empty()) << "host could not send";
    }

    // Everything received until `done(received)` holds or `timeout` passes; the surplus stays
    // for the next read. A hang-up ends the wait.
    template <typename Done> std::string readUntil(Done done, Millis timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (const std::size_t n = done(pending_))
                return takePending(n);
            const auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
            if (left <= 0 || !fill(static_cast<int>(left)))
                return takePending(pending_.size());
        }
    }
    std::string readExactly(std::size_t n, Millis timeout = 2s) {
        return readUntil([n](const std::string &s) { return s.size() >= n ? n : 0; }, timeout);
    }
    std::string readThrough(std::string_view needle, Millis timeout = 2s) {
        return readUntil(
            [needle](const std::string &s) {
                const auto at = s.find(needle);
                return at == std::string::npos ? 0 : at + needle.size();
            },
            timeout);
    }
    std::string readFor(Millis window) {
        return readUntil([](const std::string &) { return std::size_t{0}; }, window);
    }

    bool hungUp(Millis timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!hangup_ && Clock::now() < deadline)
            fill(20);
        return hangup_;
    }

    // Sends 'i' every 5 ms, as the host does while the board is power-cycled, until the prompt.
    bool boot(Millis timeout = 2s) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            send("i");
            const std::string got = readThrough(">", 5ms);
            if (got.ends_with('>'))
                return readExactly(2, 200ms) == "\r\n";
        }
        return false;
    }
    bool bootAndFlash() {
        if (!boot())
            return false;
        send("f");
        return readExactly(1) == "_";
    }

private:
    // Waits up to `timeoutMs` for bytes; false on timeout or hang-up.
    bool fill(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0 || errno == EIO || (p.revents & POLLHUP)) {
            hangup_ = true;
            return false;
        }
        return true;
    }
    std::string takePending(std::size_t n) {
        std::string out = pending_.substr(0, n);
        pending_.erase(0, n);
        return out;
    }

    int fd_ = -1;
    std::string pending_;
    bool hangup_ = false;
};

struct Sim {
    explicit Sim(QStringList args) {
        started = process.start(args);
        if (started)
            host.emplace(process.slavePath());
    }
    SimProcess process;
    bool started = false;
    std::optional<LineHost> host;
};

#define START_SIM(sim, ...)                                                                        \
    Sim sim(QStringList{__VA_ARGS__});                                                             \
    ASSERT_TRUE(sim.started) << sim.process.errorString().toStdString();                           \
    ASSERT_TRUE(sim.host->isOpen())

QByteArray randomBytes(int size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray out(size, '\0');
    for (char &c : out)
        c = static_cast<char>(random());
    return out;
}

void expectAck(LineHost &host, const QByteArray &line, std::string_view ending = "\n") {
    host.send(line.toStdString() + std::string{ending});
    EXPECT_EQ(host.readExactly(1), ".") << line.toStdString();
}

// Sends each line and expects one '.' for it, and the closing text after the last one.
void programLines(LineHost &host, const QList<QByteArray> &lines, std::string_view ending = "\n") {
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        expectAck(host, lines[i], ending);
    host.send(lines.last().toStdString() + std::string{ending});
    EXPECT_EQ(host.readExactly(1 + Closing.size()), "." + Closing);
}

qint64 field(const SimProcess &process, const char *name) {
    const auto summary = process.summary();
    return summary ? summary->value(QLatin1String(name)).toInteger(-1) : -1;
}

TEST(SimPty, PromptsOnceAfterBootDelayAndReadiesOnF) {
    START_SIM(sim, "--boot-delay", "150");
    const auto start = Clock::now();
    ASSERT_TRUE(sim.host->boot());
    EXPECT_GE(Clock::now() - start, 150ms);

    // The host's trailing 'i's and a hand-typed 'g' must not bring a second prompt.
    for (int i = 0; i < 20; ++i) {
        sim.host->send("i");
        EXPECT_EQ(sim.host->readFor(5ms), "");
    }
    sim.host->send("g");
    EXPECT_EQ(sim.host->readFor(20ms), "");
    sim.host->send("f");
    EXPECT_EQ(sim.host->readExactly(1), "_");
}

TEST(SimPty, BootTwicePromptsAgainAndNeverBootStaysSilent) {
    {
        START_SIM(sim, "--boot-delay", "60", "--boot-twice");
        ASSERT_TRUE(sim.host->boot());
        ASSERT_TRUE(sim.host->boot()) << "no second prompt";
        sim.host->send("i");
        EXPECT_EQ(sim.host->readFor(100ms), "");
    }
    START_SIM(sim, "--boot-delay", "0", "--never-boot");
    EXPECT_FALSE(sim.host->boot(300ms));
}

TEST(SimPty, ProgramsFilesOfEveryAddressWidthInConsecutiveRuns) {
    using W = SRecordWriter::AddressWidth;
    const struct {
        W width;
        quint32 base;
        int size;
        int perRecord;
        const char *ending;
    } runs[] = {{W::Bits16, 0x0100, 300, 16, "\n"},
                {W::Bits24, 0x012000, 1000, 32, "\r\n"},
                {W::Bits32, 0x80000000, 777, 250, "\r"}};
    START_SIM(sim, "--boot-delay", "0", "--runs", "3");

    int run = 0;
    for (const auto &r : runs) {
        SCOPED_TRACE(run + 1);
        const QByteArray data = randomBytes(r.size, static_cast<unsigned>(r.base));
        const auto lines = SRecordWriter::lines(
            data, r.base, {.width = r.width, .bytesPerRecord = r.perRecord, .countRecord = true});
        ASSERT_TRUE(sim.host->bootAndFlash());
        programLines(*sim.host, lines, r.ending);
        ASSERT_TRUE(sim.process.waitForRuns(++run));
        EXPECT_EQ(sim.process.image(), data);
        EXPECT_EQ(field(sim.process, "runs"), run);
        EXPECT_EQ(field(sim.process, "lines"), lines.size());
        EXPECT_EQ(field(sim.process, "bad_lines"), 0);
        EXPECT_EQ(field(sim.process, "data_bytes"), r.size);
        EXPECT_EQ(field(sim.process, "min_address"), qint64{r.base});
        EXPECT_EQ(field(sim.process, "max_address"), qint64{r.base} + r.size - 1);
    }
    EXPECT_TRUE(sim.process.waitForExit(3000));
    EXPECT_EQ(sim.process.exitCode(), 0);
}

TEST(SimPty, CountsMalformedLinesButAnswersEachOne) {
    START_SIM(sim, "--boot-delay", "0");
    ASSERT_TRUE(sim.host->bootAndFlash());
    const QByteArray good = SRecordWriter::record('1', 0x0010, "\x01\x02\x03\x04");
    QByteArray badChecksum = SRecordWriter::record('1', 0x0020, "\x05");
    badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
    QByteArray badCount = SRecordWriter::record('1', 0x0020, "\x05");
    badCount[3] = '5';
    const QList<QByteArray> bad{badChecksum, "S1040020XYZ0", badCount, "S4030000FC", "hello"};

    expectAck(*sim.host, good, "\n\n"); // the blank line after it is not answered
    for (const QByteArray &line : bad)
        expectAck(*sim.host, line);
    programLines(*sim.host, {"S1" + SRecordWriter::record('1', 0x0014, "\xAA").mid(2).toLower(),
                             "S9030000FC"});

    ASSERT_TRUE(sim.process.waitForRuns(1));
    EXPECT_EQ(field(sim.process, "lines"), 8);
    EXPECT_EQ(field(sim.process, "bad_lines"), bad.size());
    EXPECT_EQ(field(sim.process, "blank_lines"), 1);
    EXPECT_EQ(field(sim.process, "data_bytes"), 5);
    EXPECT_EQ(sim.process.image(), QByteArray("\x01\x02\x03\x04\xAA"));
}

TEST(SimPty, SurvivesHostileBytesAndOversizedLines) {
    START_SIM(sim, "--boot-delay", "0");
    QByteArray noise = randomBytes(64 * 1024, 3);
    noise.replace('i', 'x');
    sim.host->send(noise.toStdString()); // idle: ignored
    EXPECT_EQ(sim.host->readFor(50ms), "");
    ASSERT_TRUE(sim.host->bootAndFlash());

    QByteArray binaryLine = randomBytes(64 * 1024, 4);
    binaryLine.replace('\r', 'x').replace('\n', 'x');
    sim.host->send(binaryLine.toStdString() + "\n");
    EXPECT_EQ(sim.host->readExactly(1), ".");
    sim.host->send(std::string(4'500'000, 'A') + "\n");
    EXPECT_EQ(sim.host->readExactly(1, 10s), ".");

    const QByteArray data = randomBytes(100, 5);
    programLines(*sim.host, SRecordWriter::lines(data, 0x2000));
    ASSERT_TRUE(sim.process.waitForRuns(1));
    EXPECT_EQ(field(sim.process, "bad_lines"), 2);
    EXPECT_EQ(sim.process.image(), data);
}

TEST(SimPty, StopAckAfterGoesSilentAndSigtermWritesTheSummary) {
    START_SIM(sim, "--boot-delay", "0", "--stop-ack-after", "2");
    ASSERT_TRUE(sim.host->bootAndFlash());
    const auto lines = SRecordWriter::lines(randomBytes(64, 6), 0);
    expectAck(*sim.host, lines[0]);
    expectAck(*sim.host, lines[1]);
    sim.host->send(lines[2].toStdString() + "\n");
    EXPECT_EQ(sim.host->readFor(200ms), "");

    EXPECT_TRUE(sim.process.stop());
    EXPECT_EQ(field(sim.process, "runs"), 0);
    EXPECT_EQ(field(sim.process, "lines"), 3);
}

TEST(SimPty, HangupAfterClosesThePortAndExitsWithItsOwnStatus) {
    START_SIM(sim, "--boot-delay", "0", "--hangup-after", "2");
    ASSERT_TRUE(sim.host->bootAndFlash());
    const auto lines = SRecordWriter::lines(randomBytes(64, 7), 0);
    expectAck(*sim.host, lines[0]);
    expectAck(*sim.host, lines[1]);
    EXPECT_TRUE(sim.host->hungUp(3s));
    ASSERT_TRUE(sim.process.waitForExit(3000));
    EXPECT_EQ(sim.process.exitCode(), 3);
    EXPECT_TRUE(sim.process.waitForLine("HANGUP lines=2", 0).has_value());
    EXPECT_EQ(field(sim.process, "lines"), 2);
}

TEST(SimPty, AckDelayAndBaudHoldBackTheAnswer) {
    const std::string line = SRecordWriter::record('1', 0, QByteArray(252, 'x')).toStdString();
    ASSERT_EQ(line.size(), 514u);
    for (const auto &[option, value, least] :
         {std::tuple{"--ack-delay", "80", 80ms}, std::tuple{"--baud", "57600", 85ms}}) {
        SCOPED_TRACE(option);
        START_SIM(sim, "--boot-delay", "0", option, value);
        ASSERT_TRUE(sim.host->bootAndFlash());
        const auto start = Clock::now();
        sim.host->send(line + "\n"); // 515 bytes are 89 ms at 5760 bytes/s
        EXPECT_EQ(sim.host->readExactly(1), ".");
        EXPECT_GE(Clock::now() - start, least);
    }
}

TEST(SimPty, NoiseChattersWhileIdleAndBeforeEachAnswer) {
    START_SIM(sim, "--boot-delay", "0", "--noise", "hello\\r\\n", "--noise-interval", "30",
              "--noise-in-run");
    const std::string idle = sim.host->readFor(150ms);
    EXPECT_GE(idle.size(), 2 * 7u) << idle;
    EXPECT_EQ(QByteArray::fromStdString(idle).replace("hello\r\n", ""), "");
    ASSERT_TRUE(sim.host->bootAndFlash());
    sim.host->send(SRecordWriter::record('0', 0, "").toStdString() + "\n");
    EXPECT_EQ(sim.host->readExactly(8), "hello\r\n.");
    sim.host->send("S9030000FC\n");
    EXPECT_EQ(sim.host->readExactly(8 + Closing.size()), "hello\r\n." + Closing);
}

TEST(SimPty, GarbageAnswersCarryNoToken) {
    START_SIM(sim, "--boot-delay", "0", "--garbage");
    ASSERT_TRUE(sim.host->bootAndFlash());
    for (int i = 0; i < 20; ++i) {
        sim.host->send("S1031234B6\n");
        const std::string answer =
            sim.host->readUntil([](const std::string &got) { return got.size(); }, 1s);
        EXPECT_FALSE(answer.empty());
        EXPECT_EQ(answer.find_first_of("._>P"), std::string::npos) << answer;
    }
}

TEST(SimPty, AnswersOnlyAHostAtTheBootloadersLineSettings) {
    const struct {
        const char *name;
        speed_t speed;
        tcflag_t framing;
        const char *logged;
    } wrong[] = {
        {"115200 baud", B115200, CS8, "host line 115200 8N1, expected 57600 8N1"},
        {"left at 9600", B9600, CS8, "host line 9600 8N1"}, // the pty's speed until set
        {"7 data bits", B57600, CS7, "host line 57600 7N1"},
        {"even parity", B57600, CS8 | PARENB, "host line 57600 8E1"},
        {"2 stop bits", B57600, CS8 | CSTOPB, "host line 57600 8N2"},
    };
    for (const auto &line : wrong) {
        SCOPED_TRACE(line.name);
        START_SIM(sim, "--boot-delay", "0", "--verbose");
        if (!sim.host->setLine(line.speed, line.framing))
            continue; // a Linux pty keeps 8 data bits and no parity whatever the host asks
        EXPECT_FALSE(sim.host->boot(300ms)) << "a bootloader hears garbage and stays silent";
        // The same host set right is answered: only the line was refused.
        sim.host->setLine(B57600);
        EXPECT_TRUE(sim.host->bootAndFlash());
        EXPECT_TRUE(sim.process.stop());
        EXPECT_GT(field(sim.process, "refused_probes"), 0);
        EXPECT_TRUE(sim.process.log().contains(QLatin1String(line.logged)))
            << sim.process.log().toStdString();
        EXPECT_EQ(sim.process.log().count(QStringLiteral("probe refused")), 1) << "logged once";
    }

    // --baud names another rate: a host at 115200 is answered, one at 57600 is not.
    START_SIM(sim, "--boot-delay", "0", "--baud", "115200");
    EXPECT_FALSE(sim.host->boot(300ms));
    sim.host->setLine(B115200);
    EXPECT_TRUE(sim.host->bootAndFlash());
    EXPECT_TRUE(sim.process.stop());
    EXPECT_GT(field(sim.process, "refused_probes"), 0);
}

TEST(SimPty, LinkNamesThePtyUntilExit) {
    SimProcess process;
    const QString link = process.tempPath(QStringLiteral("ttyPellora"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent"), link)); // stale link is replaced
    ASSERT_TRUE(process.start({"--boot-delay", "0", "--link", link}));
    EXPECT_EQ(QFile::symLinkTarget(link), process.slavePath());
    LineHost host(link);
    EXPECT_TRUE(host.bootAndFlash());
    EXPECT_TRUE(process.stop());
    EXPECT_FALSE(QFile::exists(link) || QFileInfo(link).isSymLink());
}

// A board whose port goes with its power: the host that holds the old pty sees it fail, and a new
// pty appears where the link was, once mid-boot and once as the board restarts after a run.
TEST(SimPty, ReplugHangsUpTheHostAndLinksANewPtyWhereTheOldOneWas) {
    SimProcess process;
    const QString link = process.tempPath(QStringLiteral("ttyBoard"));
    ASSERT_TRUE(process.start(
        {"--boot-delay", "0", "--link", link, "--replug", "300,100", "--replug-after-run", "100"}));
    LineHost old(link);
    old.send("i");
    EXPECT_TRUE(old.hungUp(3s));
    EXPECT_TRUE(process.waitForLine("UNPLUGGED").has_value());
    const std::optional<QString> second = process.waitForPlug(1);
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*second, process.slavePath()) << "the old pty is still held: a new one was made";
    EXPECT_EQ(QFile::symLinkTarget(link), *second);

    {
        LineHost host(link);
        const QByteArray data = randomBytes(200, 11);
        ASSERT_TRUE(host.bootAndFlash());
        EXPECT_TRUE(process.waitForFirstProbeAfterPlug(1).has_value());
        programLines(host, SRecordWriter::lines(data, 0x1000)); // the closing text arrives whole
        EXPECT_TRUE(host.hungUp(3s)) << "the board restarts with its port after the run";
        EXPECT_EQ(process.image(), data);
    }
    const std::optional<QString> third = process.waitForPlug(2);
    ASSERT_TRUE(third.has_value());
    EXPECT_EQ(QFile::symLinkTarget(link), *third);
    LineHost host(link);
    EXPECT_TRUE(host.boot()) << "back idle, ready for the next run";
    EXPECT_EQ(field(process, "replugs"), 2);
}

TEST(SimPty, ImageMatchesAFileMadeByObjcopy) {
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        GTEST_SKIP() << "objcopy not installed";
    START_SIM(sim, "--boot-delay", "0");
    const QByteArray data = randomBytes(1000, 8);
    const QString bin = sim.process.tempPath(QStringLiteral("data.bin"));
    const QString srec = sim.process.tempPath(QStringLiteral("out.srec"));
    QFile out(bin);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(data) == data.size());
    out.close();
    ASSERT_EQ(QProcess::execute(objcopy, {"-I", "binary", "-O", "srec", "--change-addresses",
                                          "0x1000", bin, srec}),
              0);
    QFile in(srec);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = in.readAll().trimmed().split('\n');
    for (QByteArray &line : lines)
        line = line.trimmed();

    ASSERT_TRUE(sim.host->bootAndFlash());
    programLines(*sim.host, lines);
    ASSERT_TRUE(sim.process.waitForRuns(1));
    EXPECT_EQ(sim.process.image(), data);
    EXPECT_EQ(field(sim.process, "min_address"), 0x1000);
    EXPECT_EQ(field(sim.process, "bad_lines"), 0);
}

// A listening unix socket in the test's folder, as a virtual machine's serial device offers one.
class ListeningSocket {
public:
    explicit ListeningSocket(const QString &path) : path_(path.toStdString()) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(fd_, 1) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~ListeningSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // The simulator's connection, or -1 when none came within `timeout`.
    int accept(Millis timeout = 5s) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    std::string path_;
    int fd_ = -1;
};

TEST(SimLine, ConnectsToASocketPlaysTheDeviceAndEndsWhenTheSocketCloses) {
    SimProcess process;
    const QString path = process.tempPath(QStringLiteral("ftdi.sock"));
    ListeningSocket listening(path);
    ASSERT_TRUE(listening.ok());
    ASSERT_TRUE(process.start({"--connect", "unix:" + path, "--boot-delay", "0"}));
    EXPECT_EQ(process.outputLines().value(0), "SOCKET " + path.toLocal8Bit());
    const int connection = listening.accept();
    ASSERT_GE(connection, 0) << "the simulator never connected";
    {
        LineHost host(connection);
        const QByteArray data = randomBytes(500, 9);
        ASSERT_TRUE(host.bootAndFlash());
        programLines(host, SRecordWriter::lines(data, 0x4000));
        ASSERT_TRUE(process.waitForRuns(1));
        EXPECT_EQ(process.image(), data);
    } // the adapter's side goes away, as when the virtual machine stops
    ASSERT_TRUE(process.waitForExit(3000)) << "still running after the socket closed";
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(field(process, "runs"), 1);
}

TEST(SimLine, HangupAfterClosesTheSocketAndAMissingSocketIsAnError) {
    SimProcess process;
    const QString path = process.tempPath(QStringLiteral("ftdi.sock"));
    ListeningSocket listening(path);
    ASSERT_TRUE(listening.ok());
    ASSERT_TRUE(
        process.start({"--connect", "unix:" + path, "--boot-delay", "0", "--hangup-after", "2"}));
    LineHost host(listening.accept());
    ASSERT_TRUE(host.isOpen());
    ASSERT_TRUE(host.bootAndFlash());
    const auto lines = SRecordWriter::lines(randomBytes(64, 10), 0);
    expectAck(host, lines[0]);
    expectAck(host, lines[1]);
    EXPECT_TRUE(host.hungUp(3s)) << "the socket stayed open: the adapter would stay plugged in";
    ASSERT_TRUE(process.waitForExit(3000));
    EXPECT_EQ(process.exitCode(), 3);
    EXPECT_TRUE(process.waitForLine("HANGUP lines=2", 0).has_value());

    QProcess missing;
    missing.start(SimProcess::executablePath(),
                  {"--connect", "unix:" + process.tempPath(QStringLiteral("none.sock"))});
    ASSERT_TRUE(missing.waitForFinished(5000));
    EXPECT_EQ(missing.exitCode(), 1);
    EXPECT_TRUE(missing.readAllStandardError().contains("none.sock: No such file or directory"));
}

TEST(SimLine, TakesAnExistingTtySetsItAsTheBootloadersLineAndHangsUpByClosingIt) {
    // A pty stands in for the cable: the simulator takes its slave as an existing tty, the test is
    // the host at the master.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    termios mode{};
    ASSERT_EQ(::tcgetattr(master, &mode), 0);
    mode.c_lflag |= ECHO | ICANON; // a cooked line the simulator must make raw
    ::tcsetattr(master, TCSANOW, &mode);

    SimProcess process;
    ASSERT_TRUE(process.start({"--tty", slave, "--boot-delay", "0", "--hangup-after", "1"}));
    EXPECT_EQ(process.outputLines().value(0), "TTY " + slave.toLocal8Bit());
    ASSERT_EQ(::tcgetattr(master, &mode), 0);
    EXPECT_EQ(::cfgetospeed(&mode), speed_t{B57600});
    EXPECT_EQ(mode.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
    EXPECT_EQ(mode.c_lflag & (ECHO | ICANON), tcflag_t{0}) << "left cooked: every byte echoed";

    LineHost host(master);
    ASSERT_TRUE(host.bootAndFlash());
    expectAck(host, SRecordWriter::record('1', 0x0100, "\x42"));
    EXPECT_TRUE(host.hungUp(3s));
    ASSERT_TRUE(process.waitForExit(3000));
    EXPECT_EQ(process.exitCode(), 3);

    QProcess missing;
    missing.start(SimProcess::executablePath(), {"--tty", "/nonexistent/ttyUSB9"});
    ASSERT_TRUE(missing.waitForFinished(5000));
    EXPECT_EQ(missing.exitCode(), 1);
    EXPECT_TRUE(missing.readAllStandardError().contains("/nonexistent/ttyUSB9"));
}

} // namespace
