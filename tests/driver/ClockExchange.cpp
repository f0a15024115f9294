#include "ClockExchange.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace pellora::driver {

namespace {

constexpr std::string_view Tag = "pellora-clock";

std::optional<std::int64_t> number(std::string_view text) {
    std::int64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value < 0)
        return std::nullopt;
    return value;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find(' ', start), line.size());
        out.push_back(line.substr(start, end - start));
        at = end;
    }
    return out;
}

template <typename Each> void forEachLine(std::string_view text, Each each) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        each(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

// Round -> time, with the rounds seen more than once marked by nothing.
using Stamps = std::map<int, std::optional<std::int64_t>>;

void note(Stamps &stamps, int round, std::int64_t micros) {
    const auto [entry, fresh] = stamps.try_emplace(round, micros);
    if (!fresh)
        entry->second.reset();
}

} // namespace

std::string sentLine(std::string_view session, int round) {
    return std::string{Tag} + " " + std::string{session} + " " + std::to_string(round) + " sent";
}

std::string backLine(std::string_view session, int round) {
    return std::string{Tag} + " " + std::string{session} + " " + std::to_string(round) + " back";
}

std::optional<std::int64_t> kernelLogMicros(std::string_view line) {
    if (!line.starts_with('['))
        return std::nullopt;
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string_view stamp = line.substr(1, close - 1);
    stamp.remove_prefix(std::min(stamp.find_first_not_of(' '), stamp.size()));
    const std::size_t dot = stamp.find('.');
    if (dot == std::string_view::npos || stamp.size() - dot - 1 != 6)
        return std::nullopt;
    const auto seconds = number(stamp.substr(0, dot));
    const auto micros = number(stamp.substr(dot + 1));
    if (!seconds || !micros)
        return std::nullopt;
    return *seconds * 1'000'000 + *micros;
}

std::vector<Exchange> readExchanges(std::string_view kernelLog, std::string_view session,
                                    std::string_view hostLog) {
    Stamps sent, back, took;
    forEachLine(kernelLog, [&](std::string_view line) {
        const auto micros = kernelLogMicros(line);
        if (!micros)
            return;
        const std::vector<std::string_view> w = words(line.substr(line.find(']') + 1));
        if (w.size() != 4 || w[0] != Tag || w[1] != session)
            return;
        const auto round = number(w[2]);
        if (!round || *round > 1'000'000)
            return;
        if (w[3] == "sent")
            note(sent, static_cast<int>(*round), *micros);
        else if (w[3] == "back")
            note(back, static_cast<int>(*round), *micros);
    });
    forEachLine(hostLog, [&](std::string_view line) {
        const std::vector<std::string_view> w = words(line);
        if (w.size() != 2)
            return;
        const auto round = number(w[0]);
        const auto micros = number(w[1]);
        if (round && micros && *round <= 1'000'000)
            note(took, static_cast<int>(*round), *micros);
    });
    std::vector<Exchange> exchanges;
    for (const auto &[round, sentAt] : sent) {
        const auto backAt = back.find(round);
        const auto tookAt = took.find(round);
        if (!sentAt || backAt == back.end() || !backAt->second || tookAt == took.end() ||
            !tookAt->second)
            continue;
        exchanges.push_back({round, *sentAt, *tookAt->second, *backAt->second});
    }
    return exchanges;
}

std::optional<OffsetBounds> offsetBounds(std::span<const Exchange> exchanges) {
    if (exchanges.empty())
        return std::nullopt;
    OffsetBounds bounds{exchanges.front().hostTook - exchanges.front().guestBack,
                        exchanges.front().hostTook - exchanges.front().guestSent};
    for (const Exchange &e : exchanges) {
        if (e.guestBack < e.guestSent)
            return std::nullopt;
        bounds.low = std::max(bounds.low, e.hostTook - e.guestBack);
        bounds.high = std::min(bounds.high, e.hostTook - e.guestSent);
    }
    if (bounds.low > bounds.high)
        return std::nullopt;
    return bounds;
}

} // namespace pellora::driver
