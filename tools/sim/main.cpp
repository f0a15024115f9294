// tarnix-pellora-sim: parses the options, opens the line the host will use and runs the device on
// it until it is done or a signal stops it.

#include "Options.h"
#include "Simulator.h"
#include "Transport.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace pellora::sim;

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
    if (!installSignals(error)) {
        std::fprintf(stderr, "sim: %s\n", error.c_str());
        return ExitError;
    }
    const SimOptions &options = parsed.options;
    OpenedTransport opened = !options.socketPath.empty() ? connectUnixSocket(options.socketPath)
                             : !options.ttyPath.empty()
                                 ? openTty(options.ttyPath, options.baud.value_or(LineRate))
                                 : openPty(options.linkPath);
    if (!opened.transport) {
        std::fprintf(stderr, "sim: %s\n", opened.error.c_str());
        return ExitError;
    }
    std::printf("%s\n", opened.transport->announcement().c_str());
    std::fflush(stdout);

    const int status = runSimulator(std::move(parsed.options), *opened.transport, signalPipe[0]);
    opened.transport->close();
    return status;
}
