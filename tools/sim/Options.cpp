#include "Options.h"

#include "Hex.h"

#include <charconv>
#include <functional>
#include <map>

namespace pellora::sim {

namespace {

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t max) {
    std::uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value > max)
        return std::nullopt;
    return value;
}

constexpr std::uint64_t MaxMillis = 24ull * 3600 * 1000;
constexpr std::uint64_t MaxCount = 1ull << 62;

} // namespace

std::optional<std::string> decodeEscapes(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '\\':
            out.push_back('\\');
            break;
        case 'x': {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

ParseResult parseOptions(const std::vector<std::string_view> &args) {
    ParseResult result;
    SimOptions &o = result.options;
    DeviceConfig &d = o.device;

    using Setter = std::function<std::string(std::string_view)>;
    auto millis = [](Millis &target) {
        return Setter{[&target](std::string_view v) -> std::string {
            const auto n = parseNumber(v, MaxMillis);
            if (!n)
                return "expects milliseconds";
            target = Millis{static_cast<Millis::rep>(*n)};
            return {};
        }};
    };
    auto positiveMillis = [](Millis &target) {
        return Setter{[&target](std::string_view v) -> std::string {
            const auto n = parseNumber(v, MaxMillis);
            if (!n || *n == 0)
                return "expects milliseconds above 0";
            target = Millis{static_cast<Millis::rep>(*n)};
            return {};
        }};
    };
    auto count = [](std::optional<std::uint64_t> &target) {
        return Setter{[&target](std::string_view v) -> std::string {
            const auto n = parseNumber(v, MaxCount);
            if (!n)
                return "expects a count";
            target = *n;
            return {};
        }};
    };
    // Text with escapes, so that control characters fit on a command line.
    auto escaped = [](std::string &target) {
        return Setter{[&target](std::string_view v) -> std::string {
            auto decoded = decodeEscapes(v);
            if (!decoded || decoded->empty())
                return "expects text (escapes: \\n \\r \\t \\\\ \\xHH)";
            target = std::move(*decoded);
            return {};
        }};
    };
    auto text = [](std::string &target) {
        return Setter{[&target](std::string_view v) -> std::string {
            if (v.empty())
                return "expects a non-empty value";
            target = std::string{v};
            return {};
        }};
    };

    const std::map<std::string_view, Setter> valued{
        {"--link", text(o.linkPath)},
        {"--connect",
         [&o](std::string_view v) -> std::string {
             constexpr std::string_view Scheme = "unix:";
             if (!v.starts_with(Scheme) || v.size() == Scheme.size())
                 return "expects unix:PATH";
             o.socketPath = std::string{v.substr(Scheme.size())};
             return {};
         }},
        {"--tty", text(o.ttyPath)},
        {"--boot-delay", millis(d.bootDelay)},
        {"--stop-ack-after", count(d.stopAckAfter)},
        {"--ack-delay", millis(d.ackDelay)},
        {"--noise", escaped(d.noise)},
        {"--noise-interval", positiveMillis(d.noiseInterval)},
        {"--baud",
         [&o](std::string_view v) -> std::string {
             const auto n = parseNumber(v, 4'000'000);
             if (!n || *n == 0)
                 return "expects a rate from 1 to 4000000";
             o.baud = static_cast<std::uint32_t>(*n);
             return {};
         }},
        {"--hangup-after",
         [&d](std::string_view v) -> std::string {
             const auto n = parseNumber(v, MaxCount);
             if (!n || *n == 0)
                 return "expects a count above 0";
             d.hangupAfter = *n;
             return {};
         }},
        {"--say", escaped(d.say)},
        {"--say-after", count(d.sayAfter)},
        {"--restart-after", count(d.restartAfter)},
        {"--banner", escaped(d.banner)},
        {"--banner-interval", positiveMillis(d.bannerInterval)},
        {"--banner-for",
         [&d](std::string_view v) -> std::string {
             const auto n = parseNumber(v, MaxMillis);
             if (!n)
                 return "expects milliseconds";
             d.bannerFor = Millis{static_cast<Millis::rep>(*n)};
             return {};
         }},
        {"--answer", escaped(d.answer)},
        {"--commit-time",
         [&d](std::string_view v) -> std::string {
             const auto n = parseNumber(v, MaxMillis / 1000);
             if (!n || *n == 0)
                 return "expects seconds above 0";
             d.commitTime = Millis{static_cast<Millis::rep>(*n * 1000)};
             return {};
         }},
        {"--keepalive-ms", positiveMillis(d.keepalive)},
        {"--image", text(o.imagePath)},
        {"--summary", text(o.summaryPath)},
        {"--runs",
         [&o](std::string_view v) -> std::string {
             const auto n = parseNumber(v, MaxCount);
             if (!n)
                 return "expects a count";
             o.runs = *n;
             return {};
         }},
        {"--reset-gap", millis(d.resetGap)},
        {"--replug",
         [&d](std::string_view v) -> std::string {
             const auto comma = v.find(',');
             const auto after = parseNumber(v.substr(0, comma), MaxMillis);
             const auto away = comma == std::string_view::npos
                                   ? std::nullopt
                                   : parseNumber(v.substr(comma + 1), MaxMillis);
             if (!after || !away)
                 return "expects MS,MS: when the port goes after the first probe, how long it is "
                        "away";
             d.replug = DeviceConfig::Replug{Millis{static_cast<Millis::rep>(*after)},
                                             Millis{static_cast<Millis::rep>(*away)}};
             return {};
         }},
        {"--replug-after-run",
         [&d](std::string_view v) -> std::string {
             const auto n = parseNumber(v, MaxMillis);
             if (!n)
                 return "expects milliseconds";
             d.replugAfterRun = Millis{static_cast<Millis::rep>(*n)};
             return {};
         }},
        {"--app-banner", escaped(d.appBanner)},
        {"--app-delay", millis(d.appDelay)},
    };
    const std::map<std::string_view, bool *> flags{
        {"--never-boot", &d.neverBoot},
        {"--boot-twice", &d.bootTwice},
        {"--noise-in-run", &d.noiseInRun},
        {"--garbage", &d.garbage},
        {"--verbose", &d.verbose},
        {"--help", &o.help},
        {"--echo", &d.echo},
        {"--echo-lf", &d.echoLineFeed},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> value;
        if (const auto eq = name.find('=');
            name.starts_with("--") && eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "-h")
            name = "--help";
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (value) {
                result.error = std::string{name} + " takes no value";
                return result;
            }
            *flag->second = true;
            continue;
        }
        const auto setter = valued.find(name);
        if (setter == valued.end()) {
            result.error = "unknown option " + std::string{args[i]};
            return result;
        }
        if (!value) {
            if (i + 1 == args.size()) {
                result.error = std::string{name} + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (std::string problem = setter->second(*value); !problem.empty()) {
            result.error = std::string{name} + " " + problem;
            return result;
        }
    }
    if (d.noiseInRun && d.noise.empty())
        result.error = "--noise-in-run needs --noise";
    if (d.echoLineFeed)
        d.echo = true;
    if (d.keepalive.count() > 0 && d.commitTime.count() == 0)
        result.error = "--keepalive-ms needs --commit-time";
    if (d.appDelay.count() > 0 && d.appBanner.empty())
        result.error = "--app-delay needs --app-banner";
    if (d.sayAfter.has_value() != !d.say.empty())
        result.error = "--say and --say-after go together";
    if (!o.socketPath.empty() && !o.ttyPath.empty())
        result.error = "--connect and --tty name two lines; give one";
    if ((d.replug || d.replugAfterRun) && (!o.socketPath.empty() || !o.ttyPath.empty()))
        result.error = "--replug and --replug-after-run take the simulator's own pty away, not a "
                       "line given by --connect or --tty";
    if (!o.linkPath.empty() && (!o.socketPath.empty() || !o.ttyPath.empty()))
        result.error =
            "--link names the simulator's own pty, not a line given by --connect or --tty";
    return result;
}

std::string usage(std::string_view program) {
    std::string text = "Usage: ";
    text += program;
    text += R"( [options]

Plays the device's serial bootloader on a pseudo-terminal, or on a line given by --connect or
--tty. The first line on stdout names the line: "PTY <slave path>" (open that path as the serial
port), "SOCKET <path>" or "TTY <path>". Each completed run adds a line
"SUMMARY runs=N lines=N bad_lines=N data_bytes=N"; a simulated hang-up adds "HANGUP lines=N".
The summary file's counters other than "runs", "refused_probes" and "replugs" describe the
latest run, with its delays in ms as the device saw them: "flash_after_prompt_ms",
"first_line_after_ready_ms", "lines_span_ms" and "longest_line_gap_ms".

When the pty goes (--replug, --replug-after-run) a line "UNPLUGGED" follows; when the new one is
there, and linked, "PLUGGED <slave path>"; the first 'i' on it, "FIRST_PROBE_AFTER_PLUG_MS N": how
long after the new pty was made the host probed (also "first_probe_after_plug_ms" in the summary).

On a pty, whose settings the host shares, a probe is answered only while the host's line is set
as the bootloader's (57600 8N1 unless --baud says otherwise); the others are never answered, and
counted as "refused_probes". A socket or a tty shows nothing of the host's settings.

Line and runs:
  --link PATH            also make PATH a symlink to the pty slave (removed at exit)
  --connect unix:PATH    play the device on the unix socket at PATH instead of a pty, e.g. a
                         virtual machine's serial device (QEMU's socket chardev: the guest's USB
                         adapter is plugged in while connected); the simulator ends when the
                         other end closes, and --hangup-after closes the socket
  --tty PATH             play the device on an existing tty (set raw at the line's rate, 8N1),
                         cabled to the host's port
  --runs N               exit 0 after N completed runs (0 = run forever, the default)
  --image PATH           write the programmed image after each run (0xFF in gaps)
  --summary PATH         write run counters as JSON after each run and at exit
  --baud RATE            the line's rate: pace both directions at RATE baud, 8N1, and
                         expect the host at RATE (default: no pacing, expect 57600)
  --verbose              log every event to stderr

A port that goes with the board's power (a USB-powered board, its USB-serial chip on board):
  --replug MS1,MS2       MS1 after the 'i' that starts a boot from idle, the pty goes (the
                         host's open port fails, the link is removed); MS2 later a new pty
                         comes, linked at the same path, and the board boots afresh: it
                         answers from --boot-delay after the new pty appeared, on a line set
                         again to the bootloader's settings (a new pty starts at 9600).
                         Again on every boot started from idle (each run)
  --replug-after-run MS  once a run's closing text has been read (at most 2 s), the board
                         restarts and its pty goes for MS, then comes back, idle; not after
                         the last of --runs

The application the board restarts into after a run:
  --app-banner TEXT      what it prints after the closing text (escapes as for --noise), e.g.
                         "App 2.4.1\r\n", on the new pty with --replug-after-run; a probe
                         before then boots the bootloader instead (default: nothing)
  --app-delay MS         print it MS after the closing text, or after the pty came back
                         (default 0); the last of --runs waits for it

Boot:
  --boot-delay MS        boot this long after the first 'i' (default 300)
  --never-boot           never answer the prompt
  --boot-twice           prompt a second time on an 'i' one boot delay after the first
  --reset-gap MS         an 'i' after this much silence once prompted is a power cycle
                         and starts a new boot (default 1000, 0 = never)

Ways of talking:
  --echo                 send each byte of a line back as it arrives, all but its line feed
  --echo-lf              the same, the line feed too
  --answer TEXT          answer each line with TEXT instead of a lone '.' (escapes as for
                         --noise), e.g. "OK.\r\n"
  --commit-time S        after the termination record, write the flash for S seconds: say
                         "Writing flash", and the closing text only at the end
  --keepalive-ms MS      meanwhile, a '.' every MS (with --commit-time)

Faults:
  --ack-delay MS         wait this long before answering each line (default 0)
  --stop-ack-after N     answer only the first N lines of a run, then stay silent
  --hangup-after N       after N (>= 1) lines of a run, close the line, exit with status 3
  --garbage              answer each line with random bytes instead of '.'
  --noise TEXT           send TEXT periodically while idle (escapes: \n \r \t \\ \xHH)
  --noise-interval MS    period of the noise (default 1000)
  --noise-in-run         also send TEXT before each line's answer
  --say TEXT             send TEXT once, right after line N of a run arrives (with
  --say-after N          --say-after; escapes as for --noise): a device that talks, or a
                         burst of line noise
  --restart-after N      after line N of a run (not answered) the board restarts into its
                         application: it prints its banner and takes no more lines
  --banner TEXT          the application's banner (default "\r\nBoot 1.2. Power ok. Press
                         any key...\r\n"), printed at once and every --banner-interval MS
  --banner-interval MS   (default 2000)
  --banner-for MS        stop printing the banner MS after the restart (default: never)

Exit status: 0 done, stopped by a signal or the line closed at the other end, 1 error, 2 bad
usage, 3 hang-up simulated.
)";
    return text;
}

} // namespace pellora::sim
