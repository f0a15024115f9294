// The pty side of the simulator: one poll() loop owns all waiting, the Device owns the protocol.

#include "Device.h"
#include "Options.h"
#include "Report.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace pellora::sim;

constexpr int ExitOk = 0;
constexpr int ExitError = 1;
constexpr int ExitUsage = 2;
constexpr int ExitHangup = 3;

int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignals(std::string &error) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string{"pipe: "} + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

struct Pty {
    int master = -1;
    // Held open so the master never reads EIO while no host has the port open.
    int slave = -1;
    std::string slavePath;

    bool open(std::string &error) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            error = std::string{"posix_openpt: "} + std::strerror(errno);
            return false;
        }
        const char *name = ::ptsname(master);
        if (!name) {
            error = std::string{"ptsname: "} + std::strerror(errno);
            return false;
        }
        slavePath = name;
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            error = slavePath + ": " + std::strerror(errno);
            return false;
        }
        termios mode{};
        if (::tcgetattr(slave, &mode) == 0) {
            ::cfmakeraw(&mode);
            // A port keeps whatever speed it had until the host sets one: a host that never sets
            // the bootloader's speed must not get through by luck.
            ::cfsetspeed(&mode, B9600);
            ::tcsetattr(slave, TCSANOW, &mode);
        }
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        return true;
    }

    // Bytes written by us that the host has not read yet.
    int pendingForHost() const {
        int count = 0;
        return ::ioctl(slave, FIONREAD, &count) == 0 ? count : 0;
    }

    void close() {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
        slave = master = -1;
    }
};

bool createLink(const std::string &link, const std::string &target, std::string &error) {
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = link + " exists and is not a symlink";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        error = link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void removeLink(const std::string &link, const std::string &target) {
    std::vector<char> buffer(target.size() + 2);
    const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
    // Only our own link: another simulator may have replaced it meanwhile.
    if (n >= 0 && std::string(buffer.data(), static_cast<std::size_t>(n)) == target)
        ::unlink(link.c_str());
}

struct Speed {
    speed_t code;
    std::uint32_t rate;
};
constexpr Speed Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},
#ifdef B460800
    {B460800, 460800},   {B500000, 500000},   {B576000, 576000},   {B921600, 921600},
    {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
    {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
};

std::optional<std::uint32_t> rateOf(speed_t code) {
    for (const Speed &speed : Speeds)
        if (speed.code == code)
            return speed.rate;
    return std::nullopt;
}

std::optional<speed_t> codeOf(std::uint32_t rate) {
    for (const Speed &speed : Speeds)
        if (speed.rate == rate)
            return speed.code;
    return std::nullopt;
}

// "57600 8N1"
std::string describeLine(const termios &mode) {
    const std::optional<std::uint32_t> rate = rateOf(::cfgetospeed(&mode));
    std::string text = rate ? std::to_string(*rate) : std::string{"a non-standard speed"};
    const tcflag_t size = mode.c_cflag & CSIZE;
    text += ' ';
    text += size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
    text += !(mode.c_cflag & PARENB) ? 'N' : (mode.c_cflag & PARODD) ? 'O' : 'E';
    text += (mode.c_cflag & CSTOPB) ? '2' : '1';
    return text;
}

int millisUntil(Clock::time_point deadline, Clock::time_point now) {
    if (deadline <= now)
        return 0;
    const auto wait = std::chrono::ceil<Millis>(deadline - now).count();
    return static_cast<int>(std::min<Millis::rep>(wait, 1000));
}

class Simulator final : public DeviceEvents {
public:
    Simulator(SimOptions options, Pty &pty)
        : options_(std::move(options)), pty_(pty), device_(options_.device, *this, Clock::now()) {
        if (options_.baud) {
            // 8N1 puts ten bits on the wire per byte.
            byteTime_ = std::chrono::duration_cast<Clock::duration>(
                std::chrono::nanoseconds{10'000'000'000LL / *options_.baud});
        }
    }

    std::optional<std::string> lineMismatch() override {
        termios mode{};
        if (::tcgetattr(pty_.slave, &mode) != 0)
            return std::nullopt; // nothing to judge by
        const std::uint32_t expected = options_.baud.value_or(LineRate);
        // A rate without a termios code cannot be told apart here: only the framing is checked.
        const std::optional<speed_t> code = codeOf(expected);
        const bool speedOk = !code || ::cfgetospeed(&mode) == *code;
        const bool framingOk =
            (mode.c_cflag & CSIZE) == CS8 && !(mode.c_cflag & PARENB) && !(mode.c_cflag & CSTOPB);
        if (speedOk && framingOk)
            return std::nullopt;
        return "host line " + describeLine(mode) + ", expected " + std::to_string(expected) +
               " 8N1";
    }

    int run();

    void send(std::string_view bytes, Clock::time_point notBefore, bool droppable) override {
        if (droppable && (!queue_.empty() || !unsent_.empty() || pty_.pendingForHost() > 0)) {
            // Nobody is reading: a real line would lose this chatter too.
            log("dropped noise, host not reading");
            return;
        }
        queue_.push_back({std::string{bytes}, 0, notBefore});
    }

    void runCompleted() override {
        writeReports(true);
        if (options_.runs != 0 && device_.completedRuns() >= options_.runs)
            beginFinish(Finish::RunsDone);
    }

    void hangup() override { beginFinish(Finish::Hangup); }

    void rebooting() override {
        // Stale answers from an abandoned run must not reach the host as part of the new one.
        queue_.clear();
        unsent_.clear();
        ::tcflush(pty_.slave, TCIFLUSH);
    }

    void log(const std::string &message) override {
        if (options_.device.verbose)
            std::fprintf(stderr, "sim: %s\n", message.c_str());
    }

private:
    enum class Finish { None, RunsDone, Hangup };

    struct OutChunk {
        std::string bytes;
        std::size_t pos;
        Clock::time_point notBefore;
    };
    struct InChunk {
        std::string bytes;
        std::size_t pos;
        Clock::time_point firstDue; // wire time of bytes[0]
    };

    void beginFinish(Finish finish) {
        if (finish_ != Finish::None)
            return;
        finish_ = finish;
        // Give the host a bounded chance to read the last answers: closing the master discards
        // whatever is still queued for the slave.
        finishDeadline_ = Clock::now() + std::chrono::seconds{2};
    }

    std::optional<Clock::time_point> outputDue() const {
        if (queue_.empty())
            return std::nullopt;
        const OutChunk &head = queue_.front();
        if (!byteTime_.count())
            return head.notBefore;
        return std::max(outWireFree_, head.notBefore) + byteTime_;
    }

    void writeOutput(Clock::time_point now) {
        for (;;) {
            while (unsent_.empty()) {
                const auto due = outputDue();
                if (!due || *due > now)
                    break;
                OutChunk &head = queue_.front();
                if (byteTime_.count()) {
                    unsent_.push_back(head.bytes[head.pos++]);
                    outWireFree_ = *due;
                } else {
                    unsent_.append(head.bytes, head.pos);
                    head.pos = head.bytes.size();
                }
                if (head.pos == head.bytes.size())
                    queue_.pop_front();
            }
            if (unsent_.empty())
                return;
            const ssize_t n = ::write(pty_.master, unsent_.data(), unsent_.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n < 0) {
                // No host attached: bytes on an open line are simply lost.
                log(std::string{"write: "} + std::strerror(errno) + ", output dropped");
                unsent_.clear();
                detach(now);
                return;
            }
            unsent_.erase(0, static_cast<std::size_t>(n));
            lastWrite_ = now;
        }
    }

    std::optional<Clock::time_point> inputDue() const {
        if (input_.empty())
            return std::nullopt;
        const InChunk &head = input_.front();
        return head.firstDue + byteTime_ * static_cast<Clock::rep>(head.pos);
    }

    std::size_t inputBacklog() const {
        std::size_t total = 0;
        for (const InChunk &chunk : input_)
            total += chunk.bytes.size() - chunk.pos;
        return total;
    }

    void readInput(Clock::time_point now) {
        char buffer[65536];
        for (int round = 0; round < 16; ++round) {
            const ssize_t n = ::read(pty_.master, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                if (n < 0)
                    log(std::string{"read: "} + std::strerror(errno) + ", host not attached");
                detach(now);
                return;
            }
            const std::string_view bytes{buffer, static_cast<std::size_t>(n)};
            if (!byteTime_.count()) {
                device_.receive(bytes, now);
                if (device_.state() == Device::State::Unplugged)
                    return;
                continue;
            }
            const Clock::time_point first = std::max(inWireFree_, now) + byteTime_;
            inWireFree_ = first + byteTime_ * static_cast<Clock::rep>(n - 1);
            input_.push_back({std::string{bytes}, 0, first});
        }
    }

    void deliverInput(Clock::time_point now) {
        while (!input_.empty() && device_.state() != Device::State::Unplugged) {
            InChunk &head = input_.front();
            if (head.firstDue > now)
                return;
            const auto onWire = static_cast<std::size_t>((now - head.firstDue) / byteTime_) + 1;
            const std::size_t seen = std::min(head.bytes.size(), onWire);
            if (seen > head.pos) {
                device_.receive(std::string_view{head.bytes}.substr(head.pos, seen - head.pos),
                                now);
                head.pos = seen;
            }
            if (head.pos < head.bytes.size())
                return;
            input_.pop_front();
        }
    }

    void detach(Clock::time_point now) { detachedUntil_ = now + Millis{50}; }

    bool hostHasReadEverything(Clock::time_point now) const {
        // Written bytes reach the slave's queue a moment after write(), so a zero count is only
        // trusted once the last write has settled.
        return queue_.empty() && unsent_.empty() && now - lastWrite_ >= Millis{20} &&
               pty_.pendingForHost() == 0;
    }

    void writeReports(bool runEnded) {
        const RunStats &stats = device_.run();
        std::string error;
        if (runEnded && !options_.imagePath.empty()) {
            if (stats.image.span() > MaxImageFileBytes) {
                std::fprintf(stderr, "sim: image spans %llu bytes, not written\n",
                             static_cast<unsigned long long>(stats.image.span()));
            } else {
                const std::vector<std::uint8_t> image = stats.image.flatten();
                const std::span<const char> bytes{reinterpret_cast<const char *>(image.data()),
                                                  image.size()};
                if (!writeFileAtomically(options_.imagePath, bytes, error))
                    std::fprintf(stderr, "sim: %s\n", error.c_str());
            }
        }
        if (!options_.summaryPath.empty()) {
            const std::string json =
                summaryJson(device_.completedRuns(), device_.refusedProbes(), stats);
            if (!writeFileAtomically(options_.summaryPath, json, error))
                std::fprintf(stderr, "sim: %s\n", error.c_str());
        }
        if (runEnded) {
            std::printf("%s\n", summaryLine(device_.completedRuns(), stats).c_str());
            std::fflush(stdout);
        }
    }

    SimOptions options_;
    Pty &pty_;
    Device device_;
    Clock::duration byteTime_{0};

    std::deque<OutChunk> queue_;
    std::string unsent_; // released for the wire, not yet taken by the tty
    Clock::time_point outWireFree_{};
    Clock::time_point lastWrite_{};
    std::deque<InChunk> input_;
    Clock::time_point inWireFree_{};
    Clock::time_point detachedUntil_{};

    Finish finish_ = Finish::None;
    Clock::time_point finishDeadline_{};
};

int Simulator::run() {
    constexpr std::size_t MaxPacedBacklog = 64 * 1024;
    for (;;) {
        Clock::time_point now = Clock::now();
        deliverInput(now);
        device_.tick(now);
        writeOutput(now);

        if (finish_ != Finish::None && (hostHasReadEverything(now) || now >= finishDeadline_))
            break;

        std::optional<Clock::time_point> wake;
        auto consider = [&wake](std::optional<Clock::time_point> t) {
            if (t && (!wake || *t < *wake))
                wake = t;
        };
        consider(device_.nextDeadline());
        consider(inputDue());
        if (unsent_.empty())
            consider(outputDue());
        if (finish_ != Finish::None)
            consider(now + Millis{5});
        const bool detached = now < detachedUntil_;
        if (detached)
            consider(detachedUntil_);

        pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {-1, 0, 0}};
        if (!detached && finish_ != Finish::Hangup) {
            fds[1].fd = pty_.master;
            if (inputBacklog() < MaxPacedBacklog)
                fds[1].events |= POLLIN;
            if (!unsent_.empty())
                fds[1].events |= POLLOUT;
        }
        const int timeout = wake ? millisUntil(*wake, now) : 1000;
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "sim: poll: %s\n", std::strerror(errno));
            return ExitError;
        }
        now = Clock::now();
        if (fds[0].revents & POLLIN) {
            log("signal received, stopping");
            writeReports(false);
            return ExitOk;
        }
        if (fds[1].revents & POLLIN)
            readInput(now);
        else if (fds[1].revents & (POLLHUP | POLLERR))
            detach(now);
    }

    writeReports(false);
    if (finish_ == Finish::Hangup) {
        std::printf("HANGUP lines=%llu\n", static_cast<unsigned long long>(device_.run().lines));
        std::fflush(stdout);
        return ExitHangup;
    }
    return ExitOk;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    ParseResult parsed = parseOptions(args);
    const std::string_view program = argc > 0 ? argv[0] : "tarnix-pellora-sim";
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "sim: %s (see --help)\n", parsed.error.c_str());
        return ExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(usage(program).c_str(), stdout);
        return ExitOk;
    }

    std::string error;
    Pty pty;
    if (!installSignals(error) || !pty.open(error)) {
        std::fprintf(stderr, "sim: %s\n", error.c_str());
        return ExitError;
    }
    const std::string link = parsed.options.linkPath;
    if (!link.empty() && !createLink(link, pty.slavePath, error)) {
        std::fprintf(stderr, "sim: %s\n", error.c_str());
        pty.close();
        return ExitError;
    }
    std::printf("PTY %s\n", pty.slavePath.c_str());
    std::fflush(stdout);

    int status = ExitOk;
    {
        Simulator simulator(std::move(parsed.options), pty);
        status = simulator.run();
    }
    if (!link.empty())
        removeLink(link, pty.slavePath);
    pty.close();
    return status;
}
