#include "Transport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace pellora::sim {

namespace {

struct Speed {
    speed_t code;
    std::uint32_t rate;
};
constexpr Speed Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},
#ifdef B460800
    {B460800, 460800},   {B500000, 500000},   {B576000, 576000},   {B921600, 921600},
    {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000},
    {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
};

std::optional<std::uint32_t> rateOf(speed_t code) {
    for (const Speed &speed : Speeds)
        if (speed.code == code)
            return speed.rate;
    return std::nullopt;
}

std::optional<speed_t> codeOf(std::uint32_t rate) {
    for (const Speed &speed : Speeds)
        if (speed.rate == rate)
            return speed.code;
    return std::nullopt;
}

// "57600 8N1"
std::string describeLine(const termios &mode) {
    const std::optional<std::uint32_t> rate = rateOf(::cfgetospeed(&mode));
    std::string text = rate ? std::to_string(*rate) : std::string{"a non-standard speed"};
    const tcflag_t size = mode.c_cflag & CSIZE;
    text += ' ';
    text += size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
    text += !(mode.c_cflag & PARENB) ? 'N' : (mode.c_cflag & PARODD) ? 'O' : 'E';
    text += (mode.c_cflag & CSTOPB) ? '2' : '1';
    return text;
}

std::string failure(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool createLink(const std::string &link, const std::string &target, std::string &error) {
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = link + " exists and is not a symlink";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        error = failure(link);
        return false;
    }
    return true;
}

void removeLink(const std::string &link, const std::string &target) {
    std::vector<char> buffer(target.size() + 2);
    const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
    // Only our own link: another simulator may have replaced it meanwhile.
    if (n >= 0 && std::string(buffer.data(), static_cast<std::size_t>(n)) == target)
        ::unlink(link.c_str());
}

struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

// A new pty, its slave held open and raw at 9600, its master non-blocking.
std::optional<PtyPair> openPtyPair(std::string &error) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        error = failure("posix_openpt");
        return std::nullopt;
    }
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        error = failure("posix_openpt");
        ::close(master);
        return std::nullopt;
    }
    const char *name = ::ptsname(master);
    if (!name) {
        error = failure("ptsname");
        ::close(master);
        return std::nullopt;
    }
    const std::string slavePath = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = failure(slavePath);
        ::close(master);
        return std::nullopt;
    }
    termios mode{};
    if (::tcgetattr(slave, &mode) == 0) {
        ::cfmakeraw(&mode);
        // A port keeps whatever speed it had until the host sets one: a host that never sets
        // the bootloader's speed must not get through by luck.
        ::cfsetspeed(&mode, B9600);
        ::tcsetattr(slave, TCSANOW, &mode);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return PtyPair{master, slave, slavePath};
}

class PtyTransport final : public Transport {
public:
    explicit PtyTransport(const PtyPair &pty)
        : Transport(pty.master), slave_(pty.slave), slavePath_(pty.slavePath) {}
    ~PtyTransport() override { PtyTransport::close(); }

    bool link(const std::string &path, std::string &error) {
        if (!createLink(path, slavePath_, error))
            return false;
        linkPath_ = path;
        linked_ = true;
        return true;
    }

    std::string announcement() const override { return "PTY " + slavePath_; }

    std::optional<std::string> lineMismatch(std::uint32_t rate) const override {
        termios mode{};
        if (::tcgetattr(slave_, &mode) != 0)
            return std::nullopt; // nothing to judge by
        // A rate without a termios code cannot be told apart here: only the framing is checked.
        const std::optional<speed_t> code = codeOf(rate);
        const bool speedOk = !code || ::cfgetospeed(&mode) == *code;
        const bool framingOk =
            (mode.c_cflag & CSIZE) == CS8 && !(mode.c_cflag & PARENB) && !(mode.c_cflag & CSTOPB);
        if (speedOk && framingOk)
            return std::nullopt;
        return "host line " + describeLine(mode) + ", expected " + std::to_string(rate) + " 8N1";
    }

    int pendingForHost() const override {
        int count = 0;
        return ::ioctl(slave_, FIONREAD, &count) == 0 ? count : 0;
    }

    void discardPendingForHost() override { ::tcflush(slave_, TCIFLUSH); }

    bool hostMayReturn() const override { return true; }

    void close() override {
        // The link goes first: a host woken by the hang-up must not find it still there.
        if (linked_)
            removeLink(linkPath_, slavePath_);
        linked_ = false;
        if (slave_ >= 0)
            ::close(slave_);
        slave_ = -1;
        Transport::close();
    }

    std::optional<std::string> plugIn(std::string &error) override {
        close();
        const std::optional<PtyPair> pty = openPtyPair(error);
        if (!pty)
            return std::nullopt;
        fd_ = pty->master;
        slave_ = pty->slave;
        slavePath_ = pty->slavePath;
        // Linked only once the pty is ready, so a host that sees the link appear can open it.
        if (!linkPath_.empty() && !link(linkPath_, error))
            return std::nullopt;
        return slavePath_;
    }

private:
    // Held open so the master never reads EIO while no host has the port open.
    int slave_ = -1;
    std::string slavePath_;
    // Kept while the port is away, to link the next one where the host looks.
    std::string linkPath_;
    bool linked_ = false;
};

// The host reads from the other end of a stream socket; the socket has no line settings to see.
class SocketTransport final : public Transport {
public:
    SocketTransport(int fd, std::string name) : Transport(fd), name_(std::move(name)) {}

    std::string announcement() const override { return "SOCKET " + name_; }

    int pendingForHost() const override {
        // Counts what the peer has not read yet, not only what has not left this side.
        int count = 0;
        return ::ioctl(fd_, SIOCOUTQ, &count) == 0 ? count : 0;
    }

private:
    std::string name_;
};

// The simulator's own end of a serial line; the host's settings at the far end cannot be seen.
class TtyTransport final : public Transport {
public:
    TtyTransport(int fd, std::string path) : Transport(fd), path_(std::move(path)) {}

    std::string announcement() const override { return "TTY " + path_; }

    int pendingForHost() const override {
        int count = 0;
        return ::ioctl(fd_, TIOCOUTQ, &count) == 0 ? count : 0;
    }

    void discardPendingForHost() override { ::tcflush(fd_, TCOFLUSH); }

private:
    std::string path_;
};

OpenedTransport failedAndClosed(int fd, const std::string &what) {
    OpenedTransport failed{nullptr, failure(what)};
    ::close(fd);
    return failed;
}

} // namespace

Transport::~Transport() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<std::string> Transport::lineMismatch(std::uint32_t) const {
    return std::nullopt;
}

void Transport::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::optional<std::string> Transport::plugIn(std::string &error) {
    error = "this line cannot be plugged in again";
    return std::nullopt;
}

OpenedTransport openPty(const std::string &linkPath) {
    std::string error;
    const std::optional<PtyPair> pair = openPtyPair(error);
    if (!pair)
        return {nullptr, error};
    auto pty = std::make_unique<PtyTransport>(*pair);
    if (!linkPath.empty() && !pty->link(linkPath, error))
        return {nullptr, error};
    return {std::move(pty), {}};
}

OpenedTransport connectUnixSocket(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return {nullptr, "unix:" + path + ": not a usable socket path"};
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {nullptr, failure("socket")};
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return failedAndClosed(fd, "unix:" + path);
    return adoptSocket(fd, path);
}

OpenedTransport adoptSocket(int fd, const std::string &name) {
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
        return failedAndClosed(fd, name);
    return {std::make_unique<SocketTransport>(fd, name), {}};
}

OpenedTransport openTty(const std::string &path, std::uint32_t rate) {
    const std::optional<speed_t> code = codeOf(rate);
    if (!code)
        return {nullptr,
                path + ": " + std::to_string(rate) + " baud is not a speed a tty can be set to"};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {nullptr, failure(path)};
    termios mode{};
    if (::tcgetattr(fd, &mode) != 0)
        return failedAndClosed(fd, path);
    ::cfmakeraw(&mode);
    ::cfsetspeed(&mode, *code);
    mode.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    mode.c_cflag |= CS8 | CLOCAL | CREAD;
    mode.c_iflag &= ~(IXON | IXOFF | IXANY);
    // One byte or more per read; an empty read would look like the line going away.
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &mode) != 0)
        return failedAndClosed(fd, path);
    ::tcflush(fd, TCIOFLUSH);
    return {std::make_unique<TtyTransport>(fd, path), {}};
}

} // namespace pellora::sim
