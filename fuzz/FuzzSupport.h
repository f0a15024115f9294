#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken property is a finding: say which, then abort so that libFuzzer keeps the input.
[[noreturn]] inline void fuzzFailed(const char *what, const char *file, int line) {
    std::fprintf(stderr, "fuzz property broken: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailed(#condition, __FILE__, __LINE__);                                            \
    } while (false)

// The program always runs under an application object; some Qt classes behave differently without.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "pellora-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

// Takes the fuzz input apart front to back; reads past the end give zeros and empty chunks, so a
// target never has to check the length itself.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size)
        : data_(reinterpret_cast<const char *>(data)), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return empty() ? 0 : static_cast<std::uint8_t>(data_[pos_++]); }
    QByteArray take(std::size_t count) {
        const std::size_t n = std::min(count, size_ - std::min(pos_, size_));
        QByteArray out(data_ + pos_, static_cast<qsizetype>(n));
        pos_ += n;
        return out;
    }
    QByteArray rest() { return take(size_); }

private:
    const char *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};
