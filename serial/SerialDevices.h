#pragma once

#include <QList>
#include <QString>
#include <optional>

// One serial device present on the machine, as an operator would map it to a port number.
struct SerialDevice {
    enum class Kind {
        Stable, // a /dev/serial/by-id link: the name stays when the adapter moves to another socket
        Usb,    // a ttyUSB* or ttyACM* node no stable link points to
        Builtin, // a ttyS* port with a UART behind it
    };
    Kind kind = Kind::Builtin;
    QString path; // what to open and to store in [Ports]: the link for Stable, else the node
    QString node; // the device node: the link's target for Stable, else `path`

    // "path -> node" for a stable link, else the path.
    QString describe() const;

    bool operator==(const SerialDevice &) const = default;
};

// The serial devices present under `devRoot` (normally /dev), in the order an operator picks from:
// the /dev/serial/by-id links (by name) with their nodes, then the ttyUSB* and ttyACM* nodes no
// link points to, then the ttyS* ports that have a UART, each group in numeric order. A ttyS node
// is left out when `sysRoot`/class/tty/ttySN/type says 0 (no UART); only when sysfs does not say is
// the node opened to ask the driver, because opening a port raises its modem lines. Links whose
// node is gone are left out.
QList<SerialDevice> listSerialDevices(const QString &devRoot = QStringLiteral("/dev"),
                                      const QString &sysRoot = QStringLiteral("/sys"));

// What the kernel knows of the USB adapter behind a serial device: which board a record is of.
struct AdapterIdentity {
    QString vendorId;  // "0403"
    QString productId; // "6001"
    QString serial;    // the adapter's own serial number; empty when it has none
    QString byPath;    // its /dev/serial/by-path link (the socket it is plugged into), or empty

    bool operator==(const AdapterIdentity &) const = default;
};

// The adapter behind `device` (a node or a link to one), read from `sysRoot`/class/tty/NAME/device
// up to the USB device that holds idVendor and idProduct, and the by-path link in `devRoot`
// pointing to its node; nothing for a device that has neither (a pseudo-terminal, a built-in
// UART without a by-path name).
std::optional<AdapterIdentity> adapterIdentity(const QString &device,
                                               const QString &devRoot = QStringLiteral("/dev"),
                                               const QString &sysRoot = QStringLiteral("/sys"));
