#include "Device.h"

#include "SRecordLine.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace pellora::sim {

namespace {

std::string printable(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F)
        return std::string{'\'', c, '\''};
    std::array<char, 8> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%02X", u);
    return hex.data();
}

bool isToken(char c) {
    return c == '.' || c == '>' || c == '_' || c == 'P';
}

} // namespace

Device::Device(DeviceConfig config, DeviceEvents &events, Clock::time_point now, std::uint32_t seed)
    : config_(std::move(config)), events_(events), random_(seed),
      nextNoise_(now + config_.noiseInterval) {}

void Device::receive(std::string_view bytes, Clock::time_point now) {
    for (char c : bytes) {
        if (state_ == State::Unplugged)
            return;
        if (c == WakeByte && pluggedAt_) {
            firstProbeAfterPlug_ = now - *std::exchange(pluggedAt_, std::nullopt);
            events_.probedAfterPlug(*firstProbeAfterPlug_);
        }
        const Clock::duration quiet = lastByte_ ? now - *lastByte_ : Clock::duration::max();
        lastByte_ = now;
        receiveByte(c, now, quiet);
    }
}

void Device::receiveByte(char c, Clock::time_point now, Clock::duration quiet) {
    switch (state_) {
    case State::Idle:
        if (c == WakeByte && !config_.neverBoot) {
            if (!lineMatches())
                return;
            startBooting(now, "wake byte");
            if (config_.replug && !unplugAt_)
                unplugAt_ = now + config_.replug->after;
            // A zero boot delay answers this very byte.
            if (config_.bootDelay.count() == 0)
                sendPrompt(now);
        } else if (config_.verbose) {
            log("idle: ignored " + printable(c));
        }
        return;
    case State::Booting:
        // A boot that began as the port came back has seen no probe yet: the line is judged here.
        if (c == WakeByte && now - bootStart_ >= config_.bootDelay && lineMatches()) {
            sendPrompt(now);
        } else if (c != WakeByte || !loggedIgnoredWake_) {
            if (c == WakeByte)
                loggedIgnoredWake_ = true;
            if (config_.verbose)
                log("booting: ignored " + printable(c));
        }
        return;
    case State::Prompted:
        if (c == FlashByte) {
            run_ = RunStats{};
            run_.promptSent = promptTime_;
            run_.flashReceived = now;
            line_.clear();
            lineTooLong_ = false;
            lastWasCR_ = false;
            state_ = State::Receiving;
            log("flash command: ready for lines");
            events_.send(ReadyToken, now, false);
        } else if (c == WakeByte && config_.bootTwice && promptsThisBoot_ == 1 &&
                   now - promptTime_ >= config_.bootDelay) {
            log("rebooted on its own (boot-twice)");
            sendPrompt(now);
        } else if (isPowerCycle(c, quiet)) {
            startBooting(now, "power-cycle after silence");
        } else if (c == GoByte) {
            log("prompted: ignored 'g' (go)");
        } else if (c != WakeByte && config_.verbose) {
            log("prompted: ignored " + printable(c));
        }
        return;
    case State::Receiving:
        if (config_.echo && (c != '\n' || config_.echoLineFeed))
            events_.send(std::string_view{&c, 1}, now, false);
        receiveLineByte(c, now, quiet);
        return;
    case State::Committing:
        return;
    case State::Application:
        if (isPowerCycle(c, quiet))
            startBooting(now, "power-cycle after silence in the application");
        return;
    case State::Unplugged:
        return;
    }
}

void Device::receiveLineByte(char c, Clock::time_point now, Clock::duration quiet) {
    if (c == '\n' && lastWasCR_) {
        lastWasCR_ = false;
        return;
    }
    lastWasCR_ = c == '\r';
    if (c == '\r' || c == '\n') {
        finishLine(now);
        return;
    }
    if (line_.empty() && !lineTooLong_ && isPowerCycle(c, quiet)) {
        startBooting(now, "power-cycle after silence mid-run");
        return;
    }
    if (line_.size() < config_.maxLineLength)
        line_.push_back(c);
    else
        lineTooLong_ = true;
}

void Device::finishLine(Clock::time_point now) {
    if (line_.empty() && !lineTooLong_) {
        ++run_.blankLines;
        log("blank line");
        return;
    }
    ++run_.lines;
    if (run_.lastLine)
        run_.longestLineGap = std::max(run_.longestLineGap, now - *run_.lastLine);
    else
        run_.firstLine = now;
    run_.lastLine = now;
    const bool tooLong = lineTooLong_;
    const LineResult result = tooLong ? LineResult{} : checkLine(line_);
    line_.clear();
    lineTooLong_ = false;
    const bool good = !tooLong && result.ok();
    if (!good) {
        ++run_.badLines;
        log("line " + std::to_string(run_.lines) + ": bad (" +
            (tooLong ? "longer than the line cap" : describe(result.error)) + ")");
    } else {
        if (result.record.isData()) {
            run_.image.write(result.record.address, result.record.data);
            run_.dataBytes += result.record.data.size();
        }
        if (result.record.isTermination())
            run_.startAddress = result.record.address;
        if (config_.verbose) {
            log("line " + std::to_string(run_.lines) + ": S" + result.record.type + " at " +
                std::to_string(result.record.address) + ", " +
                std::to_string(result.record.data.size()) + " bytes");
        }
    }

    if (config_.sayAfter && run_.lines == *config_.sayAfter && !config_.say.empty())
        events_.send(config_.say, now, false);
    if (config_.restartAfter && run_.lines == *config_.restartAfter) {
        log("restarting into the application after line " + std::to_string(run_.lines));
        state_ = State::Application;
        nextBanner_ = now + config_.bannerInterval;
        bannerUntil_ = config_.bannerFor ? now + *config_.bannerFor : Clock::time_point::max();
        events_.rebooting();
        events_.send(config_.banner, now, false);
        return;
    }

    const bool answer = !config_.stopAckAfter || run_.lines <= *config_.stopAckAfter;
    const Clock::time_point ackTime = now + config_.ackDelay;
    const bool last = good && result.record.isTermination();
    if (last && config_.commitTime.count() > 0) {
        // The flash is written now: the record's answers are the keep-alive dots and the end.
        log("termination record: writing the flash");
        state_ = State::Committing;
        events_.send(CommitText, now, false);
        commitDone_ = now + config_.commitTime;
        nextKeepalive_ = now + config_.keepalive;
        return;
    }
    if (answer) {
        if (config_.noiseInRun && !config_.noise.empty())
            events_.send(config_.noise, now, false);
        if (config_.garbage)
            events_.send(garbageBytes(), ackTime, false);
        else
            events_.send(config_.answer, ackTime, false);
    } else if (config_.verbose) {
        log("line " + std::to_string(run_.lines) + ": not answered (stop-ack-after)");
    }

    if (last) {
        if (answer)
            events_.send(ClosingText, ackTime, false);
        completeRun(now, answer ? std::optional{ackTime} : std::nullopt);
    }
    if (config_.hangupAfter && run_.lines == *config_.hangupAfter && state_ != State::Unplugged) {
        log("unplugging after " + std::to_string(run_.lines) + " lines");
        state_ = State::Unplugged;
        greeting_.reset();
        events_.hangup();
    }
}

void Device::completeRun(Clock::time_point now, std::optional<Clock::time_point> closed) {
    ++completedRuns_;
    log("run " + std::to_string(completedRuns_) + " complete");
    enterIdle(now);
    // A bootloader that never said it was done never restarts into the application either.
    const bool greets = closed && !config_.appBanner.empty();
    if (greets && !config_.replugAfterRun)
        greeting_ = *closed + config_.appDelay;
    // Scheduled first: the simulator keeps the line open for a greeting still to come.
    events_.runCompleted();
    if (config_.replugAfterRun) {
        greetOnPlug_ = greets;
        unplug(*config_.replugAfterRun, State::Idle, true);
    }
    greetWhenDue(now);
}

void Device::greetWhenDue(Clock::time_point now) {
    if (state_ != State::Idle || !greeting_ || now < *greeting_)
        return;
    greeting_.reset();
    log("the application greets");
    events_.send(config_.appBanner, now, false);
}

void Device::unplug(Millis away, State afterPlug, bool afterOutput) {
    log("port going for " + std::to_string(away.count()) + " ms");
    state_ = State::Unplugged;
    // Whatever the power loss interrupted, a replug still pending included, is over.
    unplugAt_.reset();
    pluggedAt_.reset();
    away_ = away;
    comeBackAs_ = afterPlug;
    events_.unplug(afterOutput);
}

void Device::portGone(Clock::time_point now) {
    if (comeBackAs_ && !plugAt_)
        plugAt_ = now + away_;
}

void Device::plugIn(Clock::time_point now) {
    plugAt_.reset();
    const State next = *std::exchange(comeBackAs_, std::nullopt);
    ++replugs_;
    pluggedAt_ = now;
    events_.plug();
    // Power came back with the port: the bootloader starts now, not at the host's first probe.
    if (next == State::Booting) {
        startBooting(now, "power back with the port");
    } else {
        enterIdle(now);
        if (std::exchange(greetOnPlug_, false)) {
            greeting_ = now + config_.appDelay;
            greetWhenDue(now);
        }
    }
}

void Device::startBooting(Clock::time_point now, const char *why) {
    state_ = State::Booting;
    bootStart_ = now;
    promptsThisBoot_ = 0;
    loggedIgnoredWake_ = false;
    greeting_.reset(); // the bootloader runs, not the application
    line_.clear();
    lineTooLong_ = false;
    log(std::string{"booting ("} + why + ")");
    events_.rebooting();
}

void Device::sendPrompt(Clock::time_point now) {
    state_ = State::Prompted;
    promptTime_ = now;
    ++promptsThisBoot_;
    log("booted: prompt");
    events_.send(Prompt, now, false);
}

void Device::enterIdle(Clock::time_point now) {
    state_ = State::Idle;
    nextNoise_ = now + config_.noiseInterval;
}

bool Device::isPowerCycle(char c, Clock::duration quiet) const {
    return c == WakeByte && !config_.neverBoot && config_.resetGap.count() > 0 &&
           quiet >= config_.resetGap;
}

bool Device::lineMatches() {
    const std::optional<std::string> mismatch = events_.lineMismatch();
    if (!mismatch) {
        refusing_ = false;
        return true;
    }
    // A probe at the wrong speed or framing reaches a real bootloader as garbage: it stays silent.
    ++refusedProbes_;
    if (!refusing_)
        log("probe refused, " + *mismatch);
    refusing_ = true;
    return false;
}

std::string Device::garbageBytes() {
    std::uniform_int_distribution<int> length(1, 4);
    std::uniform_int_distribution<int> value(0, 255);
    std::string bytes(static_cast<std::size_t>(length(random_)), '\0');
    for (char &c : bytes) {
        do {
            c = static_cast<char>(value(random_));
        } while (isToken(c));
    }
    return bytes;
}

void Device::tick(Clock::time_point now) {
    if (state_ == State::Unplugged) {
        if (plugAt_ && now >= *plugAt_)
            plugIn(now);
        return;
    }
    if (unplugAt_ && now >= *unplugAt_) {
        unplug(config_.replug->away, State::Booting, false);
        return;
    }
    if (state_ == State::Committing) {
        if (now >= commitDone_) {
            events_.send(ClosingText, now, false);
            completeRun(now, now);
        } else if (config_.keepalive.count() > 0 && now >= nextKeepalive_) {
            events_.send(LineAck, now, false);
            nextKeepalive_ += config_.keepalive;
        }
        return;
    }
    if (state_ == State::Application && now >= nextBanner_) {
        if (now < bannerUntil_)
            events_.send(config_.banner, now, true);
        nextBanner_ = now + config_.bannerInterval;
        return;
    }
    greetWhenDue(now);
    if (config_.noise.empty() || (state_ != State::Idle && state_ != State::Booting))
        return;
    if (now >= nextNoise_) {
        events_.send(config_.noise, now, true);
        nextNoise_ = now + config_.noiseInterval;
    }
}

std::optional<Clock::time_point> Device::nextDeadline() const {
    if (state_ == State::Unplugged)
        return plugAt_;
    const std::optional<Clock::time_point> due = stateDeadline();
    return unplugAt_ && (!due || *unplugAt_ < *due) ? unplugAt_ : due;
}

std::optional<Clock::time_point> Device::stateDeadline() const {
    if (state_ == State::Committing)
        return config_.keepalive.count() > 0 ? std::min(commitDone_, nextKeepalive_) : commitDone_;
    if (state_ == State::Application)
        return nextBanner_ < bannerUntil_ ? std::optional{nextBanner_} : std::nullopt;
    if (config_.noise.empty() || (state_ != State::Idle && state_ != State::Booting))
        return greeting_;
    return greeting_ ? std::min(*greeting_, nextNoise_) : nextNoise_;
}

void Device::log(const std::string &message) {
    if (config_.verbose)
        events_.log(message);
}

} // namespace pellora::sim
