#include "VirtualDisplay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int ServerStartMs = 10'000;

// Runs `argv` with its output on /dev/null and `inherit` as its descriptor 3 (-1: none).
pid_t spawn(const char *const argv[], int inherit) {
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (inherit >= 0 && inherit != 3)
        ::dup2(inherit, 3);
    ::execvp(argv[0], const_cast<char *const *>(argv));
    std::_Exit(127);
}

void stop(pid_t &pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

} // namespace

VirtualDisplay::~VirtualDisplay() {
    stop(manager_);
    stop(server_);
}

bool VirtualDisplay::start(const char *windowManager) {
    // Xvfb picks a free display itself and writes its number to the descriptor it is given.
    int pipe[2];
    if (::pipe(pipe) != 0)
        return false;
    // -noreset: a server that resets when its last client leaves refuses clients meanwhile.
    const char *const server[] = {"Xvfb", "-displayfd",   "3",         "-noreset", "-screen",
                                  "0",    "1280x1024x24", "-nolisten", "tcp",      nullptr};
    server_ = spawn(server, pipe[1]);
    ::close(pipe[1]);
    QByteArray number;
    pollfd ready{pipe[0], POLLIN, 0};
    char c = 0;
    while (!number.endsWith('\n') && ::poll(&ready, 1, ServerStartMs) == 1 &&
           ::read(pipe[0], &c, 1) == 1)
        number += c;
    ::close(pipe[0]);
    if (!number.endsWith('\n')) {
        std::fprintf(stderr, "Xvfb did not start (scripts/install-deps.sh --bench installs it)\n");
        return false;
    }
    name_ = ':' + number.trimmed();
    ::setenv("DISPLAY", name_.constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    const char *const manager[] = {windowManager, nullptr};
    manager_ = spawn(manager, -1);
    // A window manager that cannot be run ends at once.
    ::usleep(200'000);
    int status = 0;
    if (::waitpid(manager_, &status, WNOHANG) == manager_) {
        manager_ = -1;
        std::fprintf(stderr, "%s did not start (scripts/install-deps.sh --bench installs it)\n",
                     windowManager);
        return false;
    }
    return true;
}
