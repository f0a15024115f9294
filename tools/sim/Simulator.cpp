#include "Simulator.h"

#include "Device.h"
#include "Report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace pellora::sim {

namespace {

int millisUntil(Clock::time_point deadline, Clock::time_point now) {
    if (deadline <= now)
        return 0;
    const auto wait = std::chrono::ceil<Millis>(deadline - now).count();
    return static_cast<int>(std::min<Millis::rep>(wait, 1000));
}

class Simulator final : public DeviceEvents {
public:
    Simulator(SimOptions options, Transport &transport)
        : options_(std::move(options)), transport_(transport),
          device_(options_.device, *this, Clock::now()) {
        if (options_.baud) {
            // 8N1 puts ten bits on the wire per byte.
            byteTime_ = std::chrono::duration_cast<Clock::duration>(
                std::chrono::nanoseconds{10'000'000'000LL / *options_.baud});
        }
    }

    std::optional<std::string> lineMismatch() override {
        return transport_.lineMismatch(options_.baud.value_or(LineRate));
    }

    int run(int stopFd);

    void send(std::string_view bytes, Clock::time_point notBefore, bool droppable) override {
        if (droppable && (!queue_.empty() || !unsent_.empty() || transport_.pendingForHost() > 0)) {
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

    void unplug(bool afterOutput) override {
        // The simulator is ending: its port goes at exit anyway.
        if (finish_ != Finish::None)
            return;
        if (!afterOutput) {
            // Power lost: nothing still queued reaches the host.
            queue_.clear();
            unsent_.clear();
        }
        // Bounded like the finish: a host that never reads does not keep the board from
        // restarting.
        unplugDue_ = afterOutput ? Clock::now() + std::chrono::seconds{2} : Clock::time_point{};
    }

    void plug() override {
        std::string error;
        const std::optional<std::string> path = transport_.plugIn(error);
        if (!path) {
            std::fprintf(stderr, "sim: the port could not come back: %s\n", error.c_str());
            plugFailed_ = true;
            lineGone_ = true;
            return;
        }
        detachedUntil_ = {};
        // The summary counts this replug before the line announces it.
        writeReports(false);
        std::printf("PLUGGED %s\n", path->c_str());
        std::fflush(stdout);
    }

    void probedAfterPlug(Clock::duration sincePlug) override {
        std::printf("FIRST_PROBE_AFTER_PLUG_MS %lld\n",
                    static_cast<long long>(std::chrono::duration_cast<Millis>(sincePlug).count()));
        std::fflush(stdout);
    }

    void rebooting() override {
        // Stale answers from an abandoned run must not reach the host as part of the new one.
        queue_.clear();
        unsent_.clear();
        transport_.discardPendingForHost();
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
        // Give the host a bounded chance to read the last answers, and the application's greeting
        // still to come: closing the line discards whatever is still queued on it.
        const Clock::time_point now = Clock::now();
        finishDeadline_ =
            std::max(now, device_.greetingDue().value_or(now)) + std::chrono::seconds{2};
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
            const ssize_t n = ::write(transport_.fd(), unsent_.data(), unsent_.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n < 0) {
                // No host attached: bytes on an open line are simply lost.
                const std::string why = std::string{"write: "} + std::strerror(errno);
                log(why + ", output dropped");
                unsent_.clear();
                hostAway(now, why);
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
            const ssize_t n = ::read(transport_.fd(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                const std::string why = n < 0 ? std::string{"read: "} + std::strerror(errno)
                                              : std::string{"the host closed the line"};
                if (n < 0)
                    log(why + ", host not attached");
                hostAway(now, why);
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

    // A pty that nobody has open is tried again shortly; a socket or tty closed at the far end
    // ends the simulation.
    void hostAway(Clock::time_point now, const std::string &why) {
        if (transport_.hostMayReturn()) {
            detachedUntil_ = now + Millis{50};
            return;
        }
        if (!lineGone_)
            std::fprintf(stderr, "sim: %s, stopping\n", why.c_str());
        lineGone_ = true;
    }

    // The port goes once what it was to carry has left, or at once when unplug() asked for no wait.
    void unplugWhenDue(Clock::time_point now) {
        if (!unplugDue_ || (!hostHasReadEverything(now) && now < *unplugDue_))
            return;
        unplugDue_.reset();
        // What was still on its way in either direction goes with the port.
        queue_.clear();
        unsent_.clear();
        input_.clear();
        transport_.unplug();
        std::printf("UNPLUGGED\n");
        std::fflush(stdout);
        device_.portGone(now);
    }

    bool hostHasReadEverything(Clock::time_point now) const {
        // Written bytes reach the host's side a moment after write(), so a zero count is only
        // trusted once the last write has settled.
        return queue_.empty() && unsent_.empty() && now - lastWrite_ >= Millis{20} &&
               transport_.pendingForHost() == 0;
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
            const std::string json = summaryJson({device_.completedRuns(), device_.refusedProbes(),
                                                  device_.replugs(), device_.firstProbeAfterPlug()},
                                                 stats);
            if (!writeFileAtomically(options_.summaryPath, json, error))
                std::fprintf(stderr, "sim: %s\n", error.c_str());
        }
        if (runEnded) {
            std::printf("%s\n", summaryLine(device_.completedRuns(), stats).c_str());
            std::fflush(stdout);
        }
    }

    SimOptions options_;
    Transport &transport_;
    Device device_;
    Clock::duration byteTime_{0};

    std::deque<OutChunk> queue_;
    std::string unsent_; // released for the wire, not yet taken by the tty
    Clock::time_point outWireFree_{};
    Clock::time_point lastWrite_{};
    std::deque<InChunk> input_;
    Clock::time_point inWireFree_{};
    Clock::time_point detachedUntil_{};
    bool lineGone_ = false;
    bool plugFailed_ = false;
    std::optional<Clock::time_point> unplugDue_; // the port is to go

    Finish finish_ = Finish::None;
    Clock::time_point finishDeadline_{};
};

int Simulator::run(int stopFd) {
    constexpr std::size_t MaxPacedBacklog = 64 * 1024;
    for (;;) {
        Clock::time_point now = Clock::now();
        deliverInput(now);
        device_.tick(now);
        writeOutput(now);
        unplugWhenDue(now);

        if (lineGone_ ||
            (finish_ != Finish::None &&
             (now >= finishDeadline_ || (!device_.greetingDue() && hostHasReadEverything(now)))))
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
        // The device's deadline wakes the loop for a greeting still to come.
        if ((finish_ != Finish::None && !device_.greetingDue()) || unplugDue_)
            consider(now + Millis{5});
        const bool detached = now < detachedUntil_;
        if (detached)
            consider(detachedUntil_);

        pollfd fds[2] = {{stopFd, POLLIN, 0}, {-1, 0, 0}};
        if (!detached && finish_ != Finish::Hangup && transport_.fd() >= 0) {
            fds[1].fd = transport_.fd();
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
            log("asked to stop");
            writeReports(false);
            return ExitOk;
        }
        if (fds[1].revents & POLLIN)
            readInput(now);
        else if (fds[1].revents & (POLLHUP | POLLERR))
            hostAway(now, "the line hung up");
    }

    writeReports(false);
    if (plugFailed_)
        return ExitError;
    if (finish_ == Finish::Hangup) {
        std::printf("HANGUP lines=%llu\n", static_cast<unsigned long long>(device_.run().lines));
        std::fflush(stdout);
        return ExitHangup;
    }
    return ExitOk;
}

} // namespace

int runSimulator(SimOptions options, Transport &transport, int stopFd) {
    Simulator simulator(std::move(options), transport);
    return simulator.run(stopFd);
}

} // namespace pellora::sim
