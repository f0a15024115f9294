#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Where the simulator meets the host: a pseudo-terminal it makes itself, a unix socket it connects
// to (a virtual machine's serial device), or a tty that already exists (a port cabled to the host).
// The wire-timing loop sees only this interface and the descriptor it polls.
namespace pellora::sim {

class Transport {
public:
    virtual ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    // Non-blocking, for poll(), read() and write(); -1 once closed.
    int fd() const { return fd_; }
    // The first line on stdout, naming what the host opens: "PTY /dev/pts/3".
    virtual std::string announcement() const = 0;
    // Why the host's line settings would garble its probes, when this transport can see them (only
    // a pty shares its settings with the host); nothing when they match `rate` 8N1 or are unseen.
    virtual std::optional<std::string> lineMismatch(std::uint32_t rate) const;
    // Bytes written that the host has not taken yet.
    virtual int pendingForHost() const = 0;
    // The board restarts: what is still on its way to the host is lost, where the transport can
    // reach it.
    virtual void discardPendingForHost() {}
    // After a read of nothing or a hang-up: whether the host may still come (a pty that nobody has
    // open) rather than the line being gone for good (the socket or the tty closed at the far end).
    virtual bool hostMayReturn() const { return false; }
    // Hangs the line up: the host sees the device go (the pty's slave reads hang-up, a virtual
    // machine's adapter is unplugged).
    virtual void close();
    // A port that goes with the board's power (only the simulator's own pty can): unplug() takes it
    // away as close() does, plugIn() makes a new one where the host looks for it and returns
    // the path the host opens now, or nothing with `error` set.
    virtual void unplug() { close(); }
    virtual std::optional<std::string> plugIn(std::string &error);

protected:
    explicit Transport(int fd) : fd_(fd) {}
    int fd_ = -1;
};

struct OpenedTransport {
    std::unique_ptr<Transport> transport; // null on failure
    std::string error;
};

// A new pty; with a `linkPath`, also a symlink to its slave, replaced if stale, removed on close.
OpenedTransport openPty(const std::string &linkPath = {});
// A client of the unix stream socket at `path`, such as a virtual machine's serial device: while
// connected the host's adapter is plugged in, closing unplugs it.
OpenedTransport connectUnixSocket(const std::string &path);
// A connected stream socket, already open (a socketpair end in a test); taken over.
OpenedTransport adoptSocket(int fd, const std::string &name);
// The tty at `path`, set raw at `rate` 8N1 without flow control, as the board's UART would be.
OpenedTransport openTty(const std::string &path, std::uint32_t rate);

} // namespace pellora::sim
