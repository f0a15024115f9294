#include "serial/LatencyTimer.h"

#include <QFile>
#include <QFileInfo>
#include <optional>

namespace {

std::optional<int> readMilliseconds(const QString &file) {
    QFile timer(file);
    if (!timer.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const int ms = timer.read(32).trimmed().toInt(&ok);
    return ok ? std::optional<int>(ms) : std::nullopt;
}

} // namespace

QString lowerLatencyTimer(const QString &device, const QString &sysRoot) {
    const QString canonical = QFileInfo(device).canonicalFilePath();
    const QString node = QFileInfo(canonical.isEmpty() ? device : canonical).fileName();
    const QString attribute = QStringLiteral("/bus/usb-serial/devices/%1/latency_timer").arg(node);
    const QString file = sysRoot + attribute;
    const auto before = readMilliseconds(file);
    if (!before || *before <= 1)
        return {};
    QFile timer(file);
    if (timer.open(QIODevice::WriteOnly) && timer.write("1\n") > 0 && timer.flush()) {
        timer.close();
        if (const auto after = readMilliseconds(file); after && *after <= 1)
            return {};
    }
    return QStringLiteral("%1: the adapter's latency timer is %2 ms, which costs %2 ms per line "
                          "acknowledgement. Set it to 1 ms with: echo 1 | sudo tee %3 (for good: "
                          "a udev rule with ATTR{latency_timer}=\"1\").")
        .arg(device)
        .arg(*before)
        .arg(QStringLiteral("/sys") + attribute);
}
