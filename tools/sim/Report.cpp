#include "Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pellora::sim {

std::string summaryJson(const Totals &totals, const RunStats &run) {
    // Built by appending only: chains of operator+ on temporaries make GCC 12 at -O3 warn about
    // overlapping copies that cannot happen.
    std::string json = "{";
    auto field = [&json](const char *name, std::uint64_t value) {
        if (json.size() > 1)
            json += ',';
        json += '"';
        json += name;
        json += "\":";
        json += std::to_string(value);
    };
    field("runs", totals.runs);
    field("refused_probes", totals.refusedProbes);
    field("replugs", totals.replugs);
    field("lines", run.lines);
    field("bad_lines", run.badLines);
    field("blank_lines", run.blankLines);
    field("data_bytes", run.dataBytes);
    field("min_address", run.image.lowest());
    field("max_address", run.image.highest());
    field("image_size", run.image.span());
    if (run.startAddress)
        field("start_address", *run.startAddress);
    auto millis = [&](const char *name, Clock::duration span) {
        field(name, static_cast<std::uint64_t>(std::chrono::duration_cast<Millis>(span).count()));
    };
    if (totals.firstProbeAfterPlug)
        millis("first_probe_after_plug_ms", *totals.firstProbeAfterPlug);
    if (run.promptSent && run.flashReceived)
        millis("flash_after_prompt_ms", *run.flashReceived - *run.promptSent);
    if (run.flashReceived && run.firstLine)
        millis("first_line_after_ready_ms", *run.firstLine - *run.flashReceived);
    if (run.firstLine && run.lastLine) {
        millis("lines_span_ms", *run.lastLine - *run.firstLine);
        millis("longest_line_gap_ms", run.longestLineGap);
    }
    json += "}\n";
    return json;
}

std::string summaryLine(std::uint64_t runs, const RunStats &run) {
    return "SUMMARY runs=" + std::to_string(runs) + " lines=" + std::to_string(run.lines) +
           " bad_lines=" + std::to_string(run.badLines) +
           " data_bytes=" + std::to_string(run.dataBytes);
}

bool writeFileAtomically(const std::string &path, std::span<const char> bytes, std::string &error) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = temporary + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace pellora::sim
