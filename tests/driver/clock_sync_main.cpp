// pellora-clock-sync: puts the driver check's guest's kernel-log clock on the host's (see
// ClockExchange.h).
//   pellora-clock-sync echo unix:PATH       (host) connects to the guest's serial line at PATH,
//                                           says "SOCKET PATH", then echoes every byte it takes
//                                           and prints "N MICROS" for byte N, MICROS the host's
//                                           clock (microseconds since the epoch) as it took it;
//                                           until the line closes or a signal
//   pellora-clock-sync probe TTY NAME ROUNDS
//                                           (guest) sends bytes 1 to ROUNDS on TTY, one at a time
//                                           (raw, 115200), each between a "sent" and a "back" line
//                                           written to the kernel log; exits 0 when any came back
//   pellora-clock-sync bounds KERNEL_LOG NAME HOST_LOG
//                                           "LOW HIGH EXCHANGES": the host's clock minus the
//                                           guest's kernel-log clock lies within [LOW, HIGH]
//                                           microseconds, from the session's exchanges

#include "ClockExchange.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace pellora::driver;

std::int64_t hostMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int fail(const std::string &what) {
    std::fprintf(stderr, "pellora-clock-sync: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

int echo(const std::string &path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path)
        return fail("socket " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail("connect " + path);
    std::printf("SOCKET %s\n", path.c_str());
    std::fflush(stdout);
    unsigned char bytes[256];
    for (;;) {
        const ssize_t n = ::read(fd, bytes, sizeof bytes);
        const std::int64_t took = hostMicros();
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 || errno == ECONNRESET ? 0 : fail("read");
        if (::write(fd, bytes, static_cast<std::size_t>(n)) != n)
            return fail("write");
        for (ssize_t i = 0; i < n; ++i)
            std::printf("%u %lld\n", bytes[i], static_cast<long long>(took));
        std::fflush(stdout);
    }
}

bool writeLine(int fd, const std::string &line) {
    return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// The byte `expected` within a second, other bytes skipped.
bool awaitEcho(int fd, unsigned char expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{1};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, static_cast<int>(left.count())) <= 0)
            continue;
        unsigned char byte = 0;
        if (::read(fd, &byte, 1) == 1 && byte == expected)
            return true;
    }
}

int probe(const std::string &tty, const std::string &session, int rounds) {
    const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail("open " + tty);
    termios line{};
    if (::tcgetattr(fd, &line) != 0)
        return fail("tcgetattr " + tty);
    ::cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&line, B115200);
    if (::tcsetattr(fd, TCSANOW, &line) != 0)
        return fail("tcsetattr " + tty);
    ::tcflush(fd, TCIOFLUSH);
    const int log = ::open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (log < 0)
        return fail("open /dev/kmsg");
    int back = 0;
    for (int round = 1; round <= rounds; ++round) {
        const auto byte = static_cast<unsigned char>(round);
        if (!writeLine(log, sentLine(session, round)))
            return fail("write /dev/kmsg");
        if (::write(fd, &byte, 1) != 1)
            return fail("write " + tty);
        if (!awaitEcho(fd, byte)) {
            std::fprintf(stderr, "round %d: no echo within 1 s\n", round);
            continue;
        }
        if (!writeLine(log, backLine(session, round)))
            return fail("write /dev/kmsg");
        ++back;
    }
    std::printf("%d of %d bytes echoed\n", back, rounds);
    return back > 0 ? 0 : 1;
}

std::string readAll(const char *path, bool &ok) {
    std::ifstream file(path, std::ios::binary);
    ok = ok && static_cast<bool>(file);
    return {std::istreambuf_iterator<char>(file), {}};
}

int bounds(const char *kernelLogPath, const std::string &session, const char *hostLogPath) {
    bool ok = true;
    const std::string kernelLog = readAll(kernelLogPath, ok);
    const std::string hostLog = readAll(hostLogPath, ok);
    if (!ok)
        return fail(std::string{"read "} + kernelLogPath + " or " + hostLogPath);
    const std::vector<Exchange> exchanges = readExchanges(kernelLog, session, hostLog);
    const auto offset = offsetBounds(exchanges);
    if (!offset) {
        std::fprintf(stderr, "pellora-clock-sync: session %s: %s\n", session.c_str(),
                     exchanges.empty() ? "no complete exchange"
                                       : "the exchanges contradict each other");
        return 1;
    }
    std::printf("%lld %lld %zu\n", static_cast<long long>(offset->low),
                static_cast<long long>(offset->high), exchanges.size());
    return 0;
}

int usage() {
    std::fputs("usage: pellora-clock-sync echo unix:PATH\n"
               "       pellora-clock-sync probe TTY NAME ROUNDS\n"
               "       pellora-clock-sync bounds KERNEL_LOG NAME HOST_LOG\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "echo" && argc == 3 && std::string_view{argv[2]}.starts_with("unix:")) {
        std::signal(SIGPIPE, SIG_IGN);
        return echo(argv[2] + 5);
    }
    if (mode == "probe" && argc == 5) {
        const int rounds = std::atoi(argv[4]);
        if (rounds < 1 || rounds > 255)
            return usage();
        return probe(argv[2], argv[3], rounds);
    }
    if (mode == "bounds" && argc == 5)
        return bounds(argv[2], argv[3], argv[4]);
    return usage();
}
