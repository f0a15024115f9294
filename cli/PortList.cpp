#include "cli/PortList.h"

#include "serial/PortResolver.h"
#include "settings/ModuleReg.h"

#include <QFileInfo>

namespace {

QString devicesPresent(const QList<SerialDevice> &devices) {
    // The window's port box offers the same list, in the same order.
    QString text = QStringLiteral("Serial devices:\n");
    if (devices.isEmpty())
        text += QStringLiteral("  (none)\n");
    for (const SerialDevice &device : devices)
        text += QStringLiteral("  ") + device.describe() + QLatin1Char('\n');
    return text;
}

QString portMap() {
    QString text = QStringLiteral("Port numbers ([Ports] in %1):\n").arg(portMapFile());
    const QList<int> numbers = mappedPortNumbers();
    for (int number : numbers) {
        // The window's own resolution, so that what is shown is what --port opens.
        const ResolvedPort resolved = resolvePortDevice(number);
        if (!resolved.ok()) {
            text += QStringLiteral("  COM%1 -> no device: %2\n").arg(number).arg(resolved.problem);
            continue;
        }
        const QFileInfo info(resolved.device);
        QString state;
        if (!info.exists())
            state = QStringLiteral("missing");
        else if (info.isSymLink())
            state = info.canonicalFilePath();
        text += QStringLiteral("  COM%1 -> %2%3\n")
                    .arg(number)
                    .arg(resolved.device,
                         state.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(state));
    }
    if (numbers.isEmpty())
        text += QStringLiteral("  (none)\n");
    // A number the map does not name: the first one free tells for all of them.
    int unmapped = MinPortNumber;
    while (numbers.contains(unmapped))
        ++unmapped;
    if (const ResolvedPort other = resolvePortDevice(unmapped); other.ok())
        text += QStringLiteral("Any other number N opens /dev/ttyS<N-1>.\n");
    else
        text += QStringLiteral("Any other number opens no device: %1.\n").arg(other.problem);
    for (const ModuleReg::UnreadableLine &line : ModuleReg::unreadableLines())
        text += QStringLiteral("warning: %1\n").arg(line.describe());
    return text;
}

} // namespace

QString portListing(const QList<SerialDevice> &devices) {
    return devicesPresent(devices) + portMap();
}
