#include "serial/PortResolver.h"

#include "settings/ModuleReg.h"

QString resolvePortDevice(int number) {
    if (const auto mapped = ModuleReg::mappedPortDevice(number))
        return *mapped;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}
