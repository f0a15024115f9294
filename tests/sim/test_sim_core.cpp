// The simulator's pure parts: line checker, image, options and the protocol state machine on a
// fake clock; then its wire-timing loop in this process, over a socketpair.

#include "SRecordWriter.h"
#include "sim/Device.h"
#include "sim/Options.h"
#include "sim/Report.h"
#include "sim/SRecordLine.h"
#include "sim/Simulator.h"
#include "sim/SparseImage.h"
#include "sim/Transport.h"

#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pellora::sim;

namespace {

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(SimLineCheck, AcceptsWellFormedRecords) {
    struct Case {
        const char *line;
        char type;
        std::uint32_t address;
        std::vector<std::uint8_t> data;
    };
    const Case cases[] = {
        {"S00600004844521B", '0', 0x0000, bytesOf({'H', 'D', 'R'})},
        {"S1130000285F245F2212226A000424290008237C2A", '1', 0x0000,
         bytesOf({0x28, 0x5F, 0x24, 0x5F, 0x22, 0x12, 0x22, 0x6A, 0x00, 0x04, 0x24, 0x29, 0x00,
                  0x08, 0x23, 0x7C})},
        {"s1130000285f245f2212226a000424290008237c2a", '\0', 0, {}}, // lower-case 'S' is not one
        {"S1130000285f245f2212226a000424290008237c2a", '1', 0x0000,
         bytesOf({0x28, 0x5F, 0x24, 0x5F, 0x22, 0x12, 0x22, 0x6A, 0x00, 0x04, 0x24, 0x29, 0x00,
                  0x08, 0x23, 0x7C})},
        {"S2050123450190", '2', 0x012345, bytesOf({0x01})},
        {"S30612345678AB3A", '3', 0x12345678, bytesOf({0xAB})},
        {"S1031234B6", '1', 0x1234, {}},
        {"S5030003F9", '5', 0x0003, {}},
        {"S9030000FC", '9', 0x0000, {}},
        {"S804001000EB", '8', 0x001000, {}},
        {"S705800000007A", '7', 0x80000000, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        const LineResult result = checkLine(c.line);
        if (c.type == '\0') {
            EXPECT_EQ(result.error, LineError::NotSRecord);
            continue;
        }
        ASSERT_TRUE(result.ok()) << describe(result.error);
        EXPECT_EQ(result.record.type, c.type);
        EXPECT_EQ(result.record.address, c.address);
        EXPECT_EQ(result.record.data, c.data);
    }
}

TEST(SimLineCheck, RejectsMalformedRecords) {
    const std::string overflow = SRecordWriter::record('3', 0xFFFFFFFF, "\x01\x02").toStdString();
    const struct {
        std::string line;
        LineError error;
    } cases[] = {
        {"", LineError::NotSRecord},
        {"X1031234B6", LineError::NotSRecord},
        {" S1031234B6", LineError::NotSRecord},
        {"S", LineError::BadType},
        {"S4031234B6", LineError::BadType},
        {"SA031234B6", LineError::BadType},
        {"S1031234G6", LineError::BadHex},
        {"S1031234B6 ", LineError::BadHex},
        {"S1031234B6\r", LineError::BadHex},
        {"S1031234B", LineError::OddLength},
        {"S10212EB", LineError::TooShort},
        {"S3051234B6", LineError::TooShort},
        {"S1041234B6", LineError::CountMismatch},
        {"S1021234B6", LineError::CountMismatch},
        {"S1031234B7", LineError::BadChecksum},
        {"S1130000285F245F2212226A000424290008237C2B", LineError::BadChecksum},
        {overflow, LineError::AddressOverflow},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const LineResult result = checkLine(c.line);
        EXPECT_EQ(result.error, c.error) << describe(result.error);
        EXPECT_TRUE(result.record.data.empty());
    }
}

TEST(SimLineCheck, AgreesWithWriterAndCatchesEverySingleDigitChange) {
    std::mt19937 random(7);
    QByteArray data(300, '\0');
    for (char &c : data)
        c = static_cast<char>(random());
    using W = SRecordWriter::AddressWidth;
    for (const auto &[width, base] :
         {std::pair{W::Bits16, 0x0100u}, std::pair{W::Bits24, 0x3F0000u},
          std::pair{W::Bits32, 0xFFFFF000u}}) {
        const auto lines = SRecordWriter::lines(
            data, base, {.width = width, .bytesPerRecord = 32, .countRecord = true});
        QByteArray rebuilt;
        for (const QByteArray &line : lines) {
            const LineResult result = checkLine(line.toStdString());
            ASSERT_TRUE(result.ok()) << line.toStdString();
            if (result.record.isData()) {
                EXPECT_EQ(result.record.address, base + static_cast<std::uint32_t>(rebuilt.size()));
                rebuilt.append(reinterpret_cast<const char *>(result.record.data.data()),
                               static_cast<qsizetype>(result.record.data.size()));
            }
        }
        EXPECT_EQ(rebuilt, data);
        EXPECT_TRUE(checkLine(lines.last().toStdString()).record.isTermination());

        std::string line = lines.at(1).toStdString();
        for (std::size_t i = 2; i < line.size(); ++i) {
            const char original = line[i];
            line[i] = original == '0' ? '1' : '0';
            EXPECT_FALSE(checkLine(line).ok()) << "digit " << i << " of " << line;
            line[i] = original;
        }
    }
}

TEST(SimImage, LaterWritesWinAndGapsAreErased) {
    SparseImage image;
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(image.span(), 0u);
    EXPECT_TRUE(image.flatten().empty());

    image.write(0x1004, bytesOf({1, 2}));
    image.write(0x1006, bytesOf({3}));    // continues the previous write
    image.write(0x1000, bytesOf({9, 9})); // below everything so far
    image.write(0x1005, bytesOf({7}));    // overwrites inside the first write
    EXPECT_EQ(image.lowest(), 0x1000u);
    EXPECT_EQ(image.highest(), 0x1006u);
    EXPECT_EQ(image.flatten(), bytesOf({9, 9, 0xFF, 0xFF, 1, 7, 3}));

    image.clear();
    image.write(0xFFFFFFFF, bytesOf({5}));
    EXPECT_EQ(image.span(), 1u);
    EXPECT_EQ(image.flatten(), bytesOf({5}));
}

TEST(SimOptions, ParsesValuesAndRejectsNonsense) {
    const ParseResult ok = parseOptions({"--boot-delay", "20", "--stop-ack-after=3", "--noise",
                                         "a\\r\\n\\x01\\\\", "--garbage", "--runs", "2"});
    ASSERT_EQ(ok.error, "");
    EXPECT_EQ(ok.options.device.bootDelay, Millis{20});
    EXPECT_EQ(ok.options.device.stopAckAfter, 3u);
    EXPECT_EQ(ok.options.device.noise, std::string("a\r\n\x01\\"));
    EXPECT_TRUE(ok.options.device.garbage);
    EXPECT_EQ(ok.options.runs, 2u);
    EXPECT_EQ(parseOptions({"--connect", "unix:/run/vm/ftdi.sock"}).options.socketPath,
              "/run/vm/ftdi.sock");
    const DeviceConfig replug =
        parseOptions({"--replug", "250,0", "--replug-after-run=1500"}).options.device;
    ASSERT_TRUE(replug.replug && replug.replugAfterRun);
    EXPECT_EQ(replug.replug->after, Millis{250});
    EXPECT_EQ(replug.replug->away, Millis{0});
    EXPECT_EQ(replug.replugAfterRun, Millis{1500});
    const DeviceConfig app =
        parseOptions({"--app-banner", "App 2.4.1\\r\\n", "--app-delay=250"}).options.device;
    EXPECT_EQ(app.appBanner, "App 2.4.1\r\n");
    EXPECT_EQ(app.appDelay, Millis{250});

    for (const std::vector<std::string_view> &bad : {std::vector<std::string_view>{"--boot-delay"},
                                                     {"--boot-delay", "-5"},
                                                     {"--runs", "x"},
                                                     {"--baud", "0"},
                                                     {"--noise", "\\q"},
                                                     {"--noise", "\\x4"},
                                                     {"--garbage=1"},
                                                     {"--bogus"},
                                                     {"--noise-in-run"},
                                                     {"--noise-interval", "0"},
                                                     {"--say", "x"},
                                                     {"--say-after", "3"},
                                                     {"--banner-interval", "0"},
                                                     {"--keepalive-ms", "500"},
                                                     {"--commit-time", "0"},
                                                     {"--hangup-after", "0"},
                                                     {"--connect", "/tmp/line.sock"},
                                                     {"--connect", "tcp:localhost:4000"},
                                                     {"--connect", "unix:"},
                                                     {"--connect=unix:/a", "--tty", "/dev/ttyS1"},
                                                     {"--link", "/tmp/x", "--tty", "/dev/ttyS1"},
                                                     {"--tty", ""},
                                                     {"--replug", "250"},
                                                     {"--replug", "250,"},
                                                     {"--replug", ",250"},
                                                     {"--replug", "1,2,3"},
                                                     {"--replug-after-run", "-1"},
                                                     {"--replug=1,2", "--connect=unix:/a"},
                                                     {"--replug-after-run=1", "--tty", "/a"},
                                                     {"--app-delay", "250"}}) {
        EXPECT_NE(parseOptions(bad).error, "") << bad.front();
    }
}

// Records what the device sends, with the fake time it was due.
class Recorder : public DeviceEvents {
public:
    void send(std::string_view bytes, Clock::time_point, bool) override { output += bytes; }
    void runCompleted() override { ++runs; }
    void hangup() override { ++hangups; }
    void rebooting() override { output += "<reboot>"; }
    void unplug(bool afterOutput) override {
        output += afterOutput ? "<unplug after output>" : "<unplug>";
    }
    void plug() override { output += "<plug>"; }
    void probedAfterPlug(Clock::duration sincePlug) override {
        probesAfterPlug.push_back(std::chrono::duration_cast<Millis>(sincePlug));
    }
    void log(const std::string &) override {}
    std::optional<std::string> lineMismatch() override { return mismatch; }
    std::string take() { return std::exchange(output, {}); }

    std::optional<std::string> mismatch;

    std::string output;
    std::vector<Millis> probesAfterPlug;
    int runs = 0;
    int hangups = 0;
};

class SimDevice : public ::testing::Test {
protected:
    void make(DeviceConfig config) { device.emplace(config, events, t0, 1); }
    void at(int ms, std::string_view bytes) { device->receive(bytes, t0 + Millis{ms}); }

    const Clock::time_point t0 = Clock::now();
    Recorder events;
    std::optional<Device> device;
};

TEST_F(SimDevice, BootTwicePromptsAgainOnlyAfterAnotherDelay) {
    make({.bootDelay = Millis{100}, .bootTwice = true});
    at(0, "i");
    at(99, "i");
    EXPECT_EQ(events.take(), "<reboot>");
    at(100, "i");
    EXPECT_EQ(events.take(), ">\r\n");
    at(150, "ig");
    EXPECT_EQ(events.take(), "");
    at(200, "i");
    EXPECT_EQ(events.take(), ">\r\n"); // a second prompt, not a second boot
    at(400, "ii");
    EXPECT_EQ(events.take(), "");
    at(401, "f");
    EXPECT_EQ(events.take(), "_");
}

TEST_F(SimDevice, WakeAfterSilenceIsAPowerCycleEvenMidRun) {
    make({.bootDelay = Millis{10}, .resetGap = Millis{1000}});
    at(0, "i");
    at(10, "i");
    at(20, "f");
    at(30, "S9030000F\n"); // bad line, run goes on
    EXPECT_EQ(events.take(), "<reboot>>\r\n_.");
    at(900, "i"); // too soon: part of a line
    at(901, "\n");
    EXPECT_EQ(events.take(), ".");
    at(2000, "i");
    EXPECT_EQ(device->state(), Device::State::Booting);
    at(2010, "i");
    at(2020, "f");
    EXPECT_EQ(events.take(), "<reboot>>\r\n_");
    EXPECT_EQ(device->run().lines, 0u); // the new run starts clean
}

TEST_F(SimDevice, AcceptsEveryLineEndingAndCountsBlankLines) {
    make({.bootDelay = Millis{0}});
    at(0, "if");
    at(1, "S1031234B6\r\nS1031234B6\rS1031234B6\n\n\r\r\n");
    at(2, "S9030000FC\r\n");
    EXPECT_EQ(events.take(),
              "<reboot>>\r\n_....Programmed successfully! Restarting device....\r\n");
    EXPECT_EQ(device->run().lines, 4u);
    EXPECT_EQ(device->run().badLines, 0u);
    EXPECT_EQ(device->run().blankLines, 3u); // "\n", "\r" and "\r\n" after the third line
    EXPECT_EQ(events.runs, 1);
    EXPECT_EQ(device->state(), Device::State::Idle);
}

TEST_F(SimDevice, ProbesOverAWronglySetLineAreNeverAnswered) {
    make({.bootDelay = Millis{0}});
    events.mismatch = "host line 115200 8N1, expected 57600 8N1";
    at(0, "iii");
    EXPECT_EQ(events.take(), "");
    EXPECT_EQ(device->state(), Device::State::Idle);
    EXPECT_EQ(device->refusedProbes(), 3u);
    events.mismatch.reset(); // the host sets its line right
    at(10, "i");
    EXPECT_EQ(events.take(), "<reboot>>\r\n");
    EXPECT_EQ(device->refusedProbes(), 3u);
}

// A device that talks in the middle of a transfer, and one that restarts into its application: what
// a host must never take for the end of a run.
TEST_F(SimDevice, TalksOnceAfterALineOrRestartsIntoItsApplication) {
    make({.bootDelay = Millis{0}, .say = "Power ok\r\n", .sayAfter = 2});
    at(0, "if");
    EXPECT_EQ(events.take(), "<reboot>>\r\n_");
    at(1, "S1031234B6\nS1031234B6\nS1031234B6\n");
    EXPECT_EQ(events.take(), ".Power ok\r\n..") << "once, before line 2's answer";

    make({.bootDelay = Millis{0},
          .restartAfter = 2,
          .banner = "Boot. P\r\n",
          .bannerInterval = Millis{2000}});
    at(0, "if");
    at(1, "S1031234B6\nS1031234B6\n");
    EXPECT_EQ(events.take(), "<reboot>>\r\n_.<reboot>Boot. P\r\n") << "line 2 not answered";
    EXPECT_EQ(device->state(), Device::State::Application);
    at(2, "S1031234B6\nS9030000FC\n");
    EXPECT_EQ(events.take(), "") << "the application takes no lines";
    EXPECT_EQ(device->completedRuns(), 0u);
    ASSERT_TRUE(device->nextDeadline());
    EXPECT_EQ(*device->nextDeadline(), t0 + Millis{2001});
    device->tick(t0 + Millis{2001});
    EXPECT_EQ(events.take(), "Boot. P\r\n") << "and again every interval";
    at(4000, "ii"); // a power cycle brings the bootloader back
    EXPECT_EQ(device->state(), Device::State::Prompted);
}

// The loop wakes a little late and closes the port a little after the device asked: each time
// below is counted from the moment it was really reached.
TEST_F(SimDevice, ReplugTakesThePortAfterTheFirstProbeAndTheBoardBootsAsItReturns) {
    make({.bootDelay = Millis{100}, .replug = DeviceConfig::Replug{Millis{50}, Millis{200}}});
    at(0, "i");
    at(20, "i");
    EXPECT_EQ(events.take(), "<reboot>");
    EXPECT_EQ(device->nextDeadline(), t0 + Millis{50});
    device->tick(t0 + Millis{52});
    EXPECT_EQ(events.take(), "<unplug>");
    at(60, "i");
    EXPECT_EQ(device->nextDeadline(), std::nullopt) << "away is counted once the port is gone";
    device->portGone(t0 + Millis{55});
    EXPECT_EQ(device->nextDeadline(), t0 + Millis{255});
    device->tick(t0 + Millis{256});
    EXPECT_EQ(events.take(), "<plug><reboot>");
    EXPECT_EQ(device->state(), Device::State::Booting);
    EXPECT_TRUE(events.probesAfterPlug.empty()) << "a probe on the old port does not count";

    // The new pty starts at 9600: probes are refused until the host sets its line again.
    events.mismatch = "host line 9600 8N1, expected 57600 8N1";
    at(263, "i");
    at(357, "i");
    EXPECT_EQ(events.take(), "");
    EXPECT_EQ(device->refusedProbes(), 1u) << "only the probe that would have been answered";
    events.mismatch.reset();
    at(360, "if"); // the boot began with the port at 256, not at the first probe at 263
    EXPECT_EQ(events.take(), ">\r\n_");
    EXPECT_EQ(events.probesAfterPlug, std::vector{Millis{7}});
    const std::string json = summaryJson(
        {.replugs = device->replugs(), .firstProbeAfterPlug = device->firstProbeAfterPlug()},
        device->run());
    for (const char *field : {"\"replugs\":1,", "\"first_probe_after_plug_ms\":7"})
        EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;

    at(370, "S9030000FC\n");
    EXPECT_EQ(events.runs, 1);
    at(1000, "i"); // the next run, from idle, loses its port again
    EXPECT_EQ(device->nextDeadline(), t0 + Millis{1050});
}

TEST_F(SimDevice, AfterARunTheBoardRestartsWithItsPortAndComesBackIdle) {
    make({.bootDelay = Millis{0},
          .replug = DeviceConfig::Replug{Millis{5000}, Millis{10}},
          .replugAfterRun = Millis{300}});
    at(0, "if");
    at(10, "S9030000FC\n");
    EXPECT_EQ(events.take(),
              "<reboot>>\r\n_." + std::string{ClosingText} + "<unplug after output>");
    EXPECT_EQ(events.runs, 1);
    at(20, "i");
    device->portGone(t0 + Millis{40}); // once the host has read the closing text
    device->tick(t0 + Millis{339});
    EXPECT_EQ(events.take(), "");
    device->tick(t0 + Millis{340});
    EXPECT_EQ(events.take(), "<plug>");
    EXPECT_EQ(device->state(), Device::State::Idle);
    EXPECT_EQ(device->nextDeadline(), std::nullopt)
        << "the restart ended the earlier boot's replug";
    at(400, "i");
    EXPECT_EQ(events.take(), "<reboot>>\r\n");
    EXPECT_EQ(events.probesAfterPlug, std::vector{Millis{60}});
}

// The board restarts into the application it was just given, which greets once the closing text
// is out, or once its port is back; a probe meanwhile restarts the bootloader instead. Time moves
// from deadline to deadline, as the loop wakes, with a probe at 20 s.
TEST_F(SimDevice, TheApplicationGreetsAfterTheClosingTextOrOnThePortThatCameBack) {
    const std::string done = "." + std::string{ClosingText}, gone = "<unplug after output>";
    const std::string app = "App 2.4.1 uid=0042A1\r\n", fault = "HardFault at 0x08001234\r\n";
    const struct {
        DeviceConfig config;
        std::string seen;
    } cases[] = {
        {{}, done + "|<reboot>>\r\n"},
        {{.appBanner = app}, done + app + "|<reboot>>\r\n"},
        {{.appBanner = fault, .appDelay = Millis{500}}, done + "@510" + fault + "|<reboot>>\r\n"},
        {{.appBanner = app, .appDelay = Millis{30'000}}, done + "|<reboot>>\r\n"},
        {{.stopAckAfter = 0, .appBanner = app}, "|<reboot>>\r\n"}, // never said it was done
        // The port goes at 40 ms, once the host has read the closing text.
        {{.replugAfterRun = Millis{300}, .appBanner = "app> "},
         done + gone + "@340<plug>app> |<reboot>>\r\n"},
        {{.replugAfterRun = Millis{300}, .appBanner = "app> ", .appDelay = Millis{200}},
         done + gone + "@340<plug>@540app> |<reboot>>\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        DeviceConfig config = c.config;
        config.bootDelay = Millis{0};
        make(config);
        at(0, "if");
        events.take();
        at(10, "S9030000FC\n");
        device->portGone(t0 + Millis{40});
        std::string seen = events.take();
        auto wakeUntil = [&](Millis end) {
            for (int wakes = 0; wakes < 5; ++wakes) {
                const std::optional<Clock::time_point> due = device->nextDeadline();
                if (!due || *due > t0 + end)
                    return;
                device->tick(*due);
                seen += "@" + std::to_string((*due - t0) / Millis{1}) + events.take();
            }
        };
        wakeUntil(Millis{19'999});
        at(20'000, "i");
        seen += "|" + events.take();
        wakeUntil(Millis{60'000});
        EXPECT_EQ(seen, c.seen);
    }
}

TEST_F(SimDevice, TheSummaryGivesTheDelaysTheDeviceSawAndTheStartAddress) {
    make({.bootDelay = Millis{0}});
    at(0, "i");
    EXPECT_EQ(summaryJson({}, device->run()).find("_ms"), std::string::npos) << "no run yet";
    at(340, "f");
    at(1350, "S1031234B6\n");
    at(1500, "S1031234B6\n");
    at(4400, "S1031234B6\n");
    EXPECT_EQ(summaryJson({}, device->run()).find("start_address"), std::string::npos)
        << "no termination record yet";
    at(4500, "S9031234B6\n");
    const std::string json =
        summaryJson({.runs = device->completedRuns(), .refusedProbes = 2}, device->run());
    for (const char *field : {"\"runs\":1,", "\"refused_probes\":2,", "\"start_address\":4660",
                              "\"flash_after_prompt_ms\":340", "\"first_line_after_ready_ms\":1010",
                              "\"lines_span_ms\":3150", "\"longest_line_gap_ms\":2900"})
        EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;
}

// The loop in this process, the test at the host's end of a socketpair.
class SimLoop : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN); // a write to a closed socket must fail, not kill the test
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        host_ = pair[0];
        OpenedTransport opened = adoptSocket(pair[1], "socketpair");
        ASSERT_TRUE(opened.transport) << opened.error;
        transport_ = std::move(opened.transport);
        ASSERT_EQ(::pipe2(stop_, O_CLOEXEC), 0);
        options_.device.bootDelay = Millis{0};
        options_.summaryPath = dir_.filePath("summary.json").toStdString();
    }
    void TearDown() override {
        stop();
        for (int fd : {host_, stop_[0], stop_[1]})
            if (fd >= 0)
                ::close(fd);
    }

    void start() {
        status_ = std::async(std::launch::async,
                             [this] { return runSimulator(options_, *transport_, stop_[0]); });
    }
    // The loop's exit status, or -1 when it is still running after `timeout`.
    int finished(Millis timeout = Millis{3000}) {
        if (status_.wait_for(timeout) != std::future_status::ready)
            return -1;
        return status_.get();
    }
    void stop() {
        if (!status_.valid())
            return;
        [[maybe_unused]] const ssize_t n = ::write(stop_[1], "x", 1);
        status_.wait();
    }

    void send(std::string_view bytes) {
        ASSERT_EQ(::write(host_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What arrives within `window`; stops early once `expected` bytes are in or the line closes.
    std::string receive(std::size_t expected, Millis window = Millis{2000}) {
        std::string got;
        const auto deadline = Clock::now() + window;
        do {
            pollfd p{host_, POLLIN, 0};
            const auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<Millis::rep>(left, 0))) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(host_, buffer, sizeof buffer);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        } while (got.size() < expected && Clock::now() < deadline);
        return got;
    }
    std::string summary() const {
        QFile file(QString::fromStdString(options_.summaryPath));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string{};
    }

    QTemporaryDir dir_;
    SimOptions options_;
    std::unique_ptr<Transport> transport_;
    int host_ = -1;
    int stop_[2] = {-1, -1};
    std::future<int> status_;
    bool closed_ = false;
};

TEST_F(SimLoop, ProgramsOverASocketAndStopsWhenAsked) {
    start();
    send("i");
    EXPECT_EQ(receive(3), ">\r\n");
    send("f");
    EXPECT_EQ(receive(1), "_");
    send("S1031234B6\n");
    EXPECT_EQ(receive(1), ".");
    send("S9030000FC\n");
    EXPECT_EQ(receive(1 + ClosingText.size()), "." + std::string{ClosingText});
    stop();
    EXPECT_NE(summary().find("\"runs\":1,"), std::string::npos) << summary();
}

TEST_F(SimLoop, TheLastRunEndsOnlyOnceTheApplicationHasGreeted) {
    options_.runs = 1;
    options_.device.appBanner = "app> ";
    options_.device.appDelay = Millis{300};
    start();
    send("if");
    EXPECT_EQ(receive(4), ">\r\n_");
    send("S9030000FC\n");
    const std::string expected = "." + std::string{ClosingText} + "app> ";
    EXPECT_EQ(receive(expected.size()), expected);
    EXPECT_EQ(finished(), ExitOk);
}

TEST_F(SimLoop, EndsWhenTheHostClosesTheSocketAndHangsUpAtTheLineAsked) {
    start();
    ::close(std::exchange(host_, -1));
    EXPECT_EQ(finished(), ExitOk) << "a closed socket does not come back";

    SetUp();
    options_.device.hangupAfter = 2;
    start();
    send("if");
    EXPECT_EQ(receive(4), ">\r\n_");
    send("S1031234B6\nS1031234B6\nS1031234B6\n");
    EXPECT_EQ(receive(2), "..") << "the second line is answered before the hang-up";
    EXPECT_EQ(finished(), ExitHangup);
    transport_->close();
    EXPECT_EQ(receive(1), "");
    EXPECT_TRUE(closed_);
    EXPECT_NE(summary().find("\"lines\":2,"), std::string::npos) << summary();
}

TEST_F(SimLoop, IdleChatterIsDroppedWhileTheHostLeavesItUnread) {
    // The socket counts what the peer has not read: one chatter waits, the later ones are lost as
    // on a line nobody listens to.
    options_.device.noise = "hello";
    options_.device.noiseInterval = Millis{20};
    start();
    std::this_thread::sleep_for(Millis{150});
    EXPECT_EQ(receive(100, Millis{0}), "hello");
    EXPECT_EQ(receive(5, Millis{500}), "hello") << "chatter resumes once the host reads";
}

} // namespace
