#include "serial/PortResolver.h"

#include "settings/ModuleReg.h"

ResolvedPort resolvePortDevice(int number) {
    const ModuleReg::PortMapping mapping = ModuleReg::portMapping(number);
    switch (mapping.state) {
    case ModuleReg::PortMapping::State::Mapped:
        return {mapping.device, {}};
    case ModuleReg::PortMapping::State::Unreadable:
        return {{}, mapping.reason};
    case ModuleReg::PortMapping::State::Unmapped:
        break;
    }
    return {QStringLiteral("/dev/ttyS%1").arg(number - 1), {}};
}

QString portMapFile() {
    return ModuleReg::settingsFile();
}

QList<int> mappedPortNumbers() {
    QList<int> numbers = ModuleReg::mappedPortNumbers();
    numbers.removeIf([](int n) { return n < MinPortNumber || n > MaxPortNumber; });
    return numbers;
}

QString invalidPortNumberText(int number) {
    return QStringLiteral("COM%1: not a valid port number (%2 to %3)")
        .arg(number)
        .arg(MinPortNumber)
        .arg(MaxPortNumber);
}
