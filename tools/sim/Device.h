#pragma once

#include "SparseImage.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

// The bootloader as seen from the wire: bytes in, bytes out, with time passed in by the caller so
// that the pty loop owns every clock and every wait.
namespace pellora::sim {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

inline constexpr std::string_view Prompt = ">\r\n";
inline constexpr std::string_view ReadyToken = "_";
inline constexpr std::string_view LineAck = ".";
inline constexpr std::string_view ClosingText =
    "Programmed successfully! Restarting device....\r\n";
// What a device that writes its flash after the termination record says before it goes quiet.
inline constexpr std::string_view CommitText = "Writing flash";
// The bootloader's line: 57600 baud, 8 data bits, no parity, 1 stop bit.
inline constexpr std::uint32_t LineRate = 57600;
inline constexpr char WakeByte = 'i';
inline constexpr char FlashByte = 'f';
inline constexpr char GoByte = 'g';

struct DeviceConfig {
    Millis bootDelay{300};
    bool neverBoot = false;
    bool bootTwice = false;
    std::optional<std::uint64_t> stopAckAfter{};
    Millis ackDelay{0};
    std::string noise{};
    Millis noiseInterval{1000};
    bool noiseInRun = false;
    bool garbage = false;
    std::optional<std::uint64_t> hangupAfter{};
    // Text sent once, right after line `sayAfter` of a run arrives (before its answer): a device
    // that talks, or a burst of line noise.
    std::string say{};
    std::optional<std::uint64_t> sayAfter{};
    // After line `restartAfter` of a run (not answered), the board restarts into its application:
    // it prints `banner` at once and every `bannerInterval`, and takes no more lines.
    std::optional<std::uint64_t> restartAfter{};
    std::string banner{"\r\nBoot 1.2. Power ok. Press any key...\r\n"};
    Millis bannerInterval{2000};
    // The application prints its banner for this long, then falls silent; none: for ever.
    std::optional<Millis> bannerFor{};
    // Each byte of a line sent back as it arrives, and the line feed too with `echoLineFeed`.
    bool echo = false;
    bool echoLineFeed = false;
    // Each line's answer, instead of a lone ".".
    std::string answer{LineAck};
    // After the termination record the device writes its flash for `commitTime`: it says
    // CommitText, then a "." every `keepalive` (none when zero), and its closing text at the end.
    Millis commitTime{0};
    Millis keepalive{0};
    // A wake byte after this much silence, once prompted, means the board was power-cycled.
    // Zero turns that off.
    Millis resetGap{1000};
    // A board whose serial port goes with its power. `replug`: `after` the probe that starts a
    // boot from idle, the port goes for `away`, then a new one comes and the board boots afresh;
    // once for each boot started from idle.
    struct Replug {
        Millis after;
        Millis away;
    };
    std::optional<Replug> replug{};
    // Once a completed run's closing text has left, the board restarts and its port is gone for
    // this long; it comes back idle.
    std::optional<Millis> replugAfterRun{};
    // Once a completed run's closing text has left, the board runs the application it was given,
    // which prints `appBanner` (none when empty) `appDelay` later; after a replug, `appDelay` after
    // the port is back. The bootloader still takes a probe meanwhile, and that restart silences it.
    std::string appBanner{};
    Millis appDelay{0};
    std::size_t maxLineLength = std::size_t{4} << 20;
    bool verbose = false;
};

struct RunStats {
    std::uint64_t lines = 0;
    std::uint64_t badLines = 0;
    std::uint64_t blankLines = 0;
    std::uint64_t dataBytes = 0;
    SparseImage image;
    // The start address of the termination record, once one has come.
    std::optional<std::uint32_t> startAddress;
    // When the run's steps happened, so a test can check the host's delays from the device's side.
    std::optional<Clock::time_point> promptSent;
    std::optional<Clock::time_point> flashReceived; // the ready token goes out at once
    std::optional<Clock::time_point> firstLine;
    std::optional<Clock::time_point> lastLine;
    Clock::duration longestLineGap{0};
};

class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    // `droppable` output may be skipped when the host is not draining the line.
    virtual void send(std::string_view bytes, Clock::time_point notBefore, bool droppable) = 0;
    virtual void runCompleted() = 0;
    // The board restarts: anything still in flight towards the host is lost.
    virtual void rebooting() = 0;
    virtual void hangup() = 0;
    // The port goes with the board's power: the host's open descriptor fails. With `afterOutput`,
    // once what send() was given has reached the host (the board's last words before a restart).
    // The device then waits for portGone() before it counts its time away.
    virtual void unplug(bool afterOutput) = 0;
    // A new port, named where the old one was.
    virtual void plug() = 0;
    // The first probe on a port that came back arrived this long after it did.
    virtual void probedAfterPlug(Clock::duration sincePlug) = 0;
    virtual void log(const std::string &message) = 0;
    // Why the host's line settings would garble its probes (speed, data bits, parity, stop bits),
    // or nothing when they match the bootloader's.
    virtual std::optional<std::string> lineMismatch() { return std::nullopt; }
};

class Device {
public:
    // Committing: the last record is in and the device writes its flash.
    // Application: the board restarted into its own program mid-run and only prints its banner.
    // Unplugged: the port is gone, for good after a hang-up, for a while after a replug.
    enum class State { Idle, Booting, Prompted, Receiving, Committing, Application, Unplugged };

    Device(DeviceConfig config, DeviceEvents &events, Clock::time_point now,
           std::uint32_t seed = std::random_device{}());

    void receive(std::string_view bytes, Clock::time_point now);
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> nextDeadline() const;
    // The port asked for by unplug() is gone now; the new one comes after the time away.
    void portGone(Clock::time_point now);

    State state() const { return state_; }
    // The run in progress, or the last one when none is.
    const RunStats &run() const { return run_; }
    std::uint64_t completedRuns() const { return completedRuns_; }
    // Probes that arrived while the host's line settings differed, never answered.
    std::uint64_t refusedProbes() const { return refusedProbes_; }
    // Ports that went and came back, and how soon the host probed on the latest one.
    std::uint64_t replugs() const { return replugs_; }
    std::optional<Clock::duration> firstProbeAfterPlug() const { return firstProbeAfterPlug_; }
    // When the application is to print its banner, while it is still to.
    std::optional<Clock::time_point> greetingDue() const { return greeting_; }

private:
    void receiveByte(char c, Clock::time_point now, Clock::duration quiet);
    void receiveLineByte(char c, Clock::time_point now, Clock::duration quiet);
    void finishLine(Clock::time_point now);
    void startBooting(Clock::time_point now, const char *why);
    void sendPrompt(Clock::time_point now);
    void enterIdle(Clock::time_point now);
    // `closed`: when the closing text went out, if it did.
    void completeRun(Clock::time_point now, std::optional<Clock::time_point> closed);
    void greetWhenDue(Clock::time_point now);
    void unplug(Millis away, State afterPlug, bool afterOutput);
    void plugIn(Clock::time_point now);
    std::optional<Clock::time_point> stateDeadline() const;
    bool isPowerCycle(char c, Clock::duration quiet) const;
    bool lineMatches();
    std::string garbageBytes();
    void log(const std::string &message);

    DeviceConfig config_;
    DeviceEvents &events_;
    std::mt19937 random_;
    State state_ = State::Idle;
    Clock::time_point bootStart_{};
    Clock::time_point promptTime_{};
    int promptsThisBoot_ = 0;
    bool loggedIgnoredWake_ = false;
    std::optional<Clock::time_point> lastByte_;
    Clock::time_point nextNoise_{};
    Clock::time_point nextBanner_{};
    Clock::time_point bannerUntil_ = Clock::time_point::max();
    Clock::time_point nextKeepalive_{};
    Clock::time_point commitDone_{};

    std::string line_;
    bool lineTooLong_ = false;
    bool lastWasCR_ = false;
    RunStats run_;
    std::uint64_t completedRuns_ = 0;
    std::uint64_t refusedProbes_ = 0;
    bool refusing_ = false;

    std::optional<Clock::time_point> unplugAt_;
    Millis away_{0};
    std::optional<Clock::time_point> plugAt_;
    std::optional<State> comeBackAs_;            // while a port that is to come back is away
    std::optional<Clock::time_point> pluggedAt_; // until the first probe on the new port
    std::uint64_t replugs_ = 0;
    std::optional<Clock::duration> firstProbeAfterPlug_;

    std::optional<Clock::time_point> greeting_;
    bool greetOnPlug_ = false; // the port away after a run comes back to the application
};

} // namespace pellora::sim
