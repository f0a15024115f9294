#include "serial/SerialDevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// "ttyUSB10" sorts after "ttyUSB9": by the letters, then by the number.
bool numericOrder(const QString &a, const QString &b) {
    static const QRegularExpression Split(QStringLiteral("^(.*?)([0-9]*)$"));
    const auto x = Split.match(a);
    const auto y = Split.match(b);
    if (const int letters = QString::compare(x.captured(1), y.captured(1)); letters != 0)
        return letters < 0;
    return x.captured(2).toULongLong() < y.captured(2).toULongLong();
}

QStringList nodesNamed(const QDir &dev, const QRegularExpression &name) {
    QStringList found;
    for (const QString &entry : dev.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (name.match(entry).hasMatch())
            found << entry;
    std::sort(found.begin(), found.end(), numericOrder);
    return found;
}

// Whether a built-in port has a UART. The kernel makes ttyS nodes for every possible port; sysfs
// tells without touching the line. Only without sysfs is the driver asked, and a node that cannot
// be asked is kept: better one entry too many than a real port missing.
bool hasUart(const QString &node, const QString &name, const QString &sysRoot) {
    QFile type(sysRoot + QStringLiteral("/class/tty/") + name + QStringLiteral("/type"));
    if (type.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int value = QString::fromLatin1(type.readAll()).trimmed().toInt(&ok);
        if (ok)
            return value != PORT_UNKNOWN;
    }
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return true;
    serial_struct info{};
    const bool asked = ::ioctl(fd, TIOCGSERIAL, &info) == 0;
    ::close(fd);
    return !asked || info.type != PORT_UNKNOWN;
}

QString identity(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

} // namespace

QString SerialDevice::describe() const {
    if (kind == Kind::Stable)
        return QStringLiteral("%1 -> %2").arg(path, node);
    return path;
}

QList<SerialDevice> listSerialDevices(const QString &devRoot, const QString &sysRoot) {
    QList<SerialDevice> devices;
    QSet<QString> linked;

    const QDir byId(devRoot + QStringLiteral("/serial/by-id"));
    for (const QFileInfo &link :
         byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!link.exists())
            continue; // the adapter went, the link not yet
        const QString node = link.isSymLink() ? link.symLinkTarget() : link.absoluteFilePath();
        devices.append({SerialDevice::Kind::Stable, link.absoluteFilePath(), node});
        linked.insert(identity(node));
    }

    const QDir dev(devRoot);
    static const QRegularExpression UsbName(QStringLiteral("^tty(USB|ACM)[0-9]+$"));
    for (const QString &name : nodesNamed(dev, UsbName)) {
        const QString node = dev.absoluteFilePath(name);
        if (!linked.contains(identity(node)))
            devices.append({SerialDevice::Kind::Usb, node, node});
    }

    static const QRegularExpression BuiltinName(QStringLiteral("^ttyS[0-9]+$"));
    for (const QString &name : nodesNamed(dev, BuiltinName)) {
        const QString node = dev.absoluteFilePath(name);
        if (!linked.contains(identity(node)) && hasUart(node, name, sysRoot))
            devices.append({SerialDevice::Kind::Builtin, node, node});
    }
    return devices;
}

std::optional<AdapterIdentity> adapterIdentity(const QString &device, const QString &devRoot,
                                               const QString &sysRoot) {
    const QString node = identity(device);
    const QString name = QFileInfo(node).fileName();
    AdapterIdentity adapter;
    const auto read = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    };
    // The tty's device, then its parents, to the first that is a USB device.
    QString folder =
        QFileInfo(sysRoot + QStringLiteral("/class/tty/") + name + QStringLiteral("/device"))
            .canonicalFilePath();
    const QString top = QFileInfo(sysRoot).canonicalFilePath();
    for (int depth = 0; !name.isEmpty() && !folder.isEmpty() && folder.startsWith(top) &&
                        folder != top && depth < 8;
         ++depth, folder = QFileInfo(folder).absolutePath()) {
        const QString vendor = read(folder + QStringLiteral("/idVendor"));
        if (vendor.isEmpty())
            continue;
        adapter.vendorId = vendor;
        adapter.productId = read(folder + QStringLiteral("/idProduct"));
        adapter.serial = read(folder + QStringLiteral("/serial"));
        break;
    }
    const QDir byPath(devRoot + QStringLiteral("/serial/by-path"));
    for (const QFileInfo &link :
         byPath.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        if (identity(link.absoluteFilePath()) == node) {
            adapter.byPath = link.absoluteFilePath();
            break;
        }
    if (adapter.vendorId.isEmpty() && adapter.byPath.isEmpty())
        return std::nullopt;
    return adapter;
}
