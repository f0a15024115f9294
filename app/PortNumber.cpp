#include "app/PortNumber.h"

#include <cmath>
#include <limits>

double leadingNumber(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    QString number;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        number.append(text[i++]);
    bool digits = false;
    while (i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        number.append(text[i++]);
        digits = true;
    }
    if (i < text.size() && text[i] == QLatin1Char('.')) {
        number.append(text[i++]);
        while (i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            number.append(text[i++]);
            digits = true;
        }
    }
    if (!digits)
        return 0;
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0;
}

std::optional<qint16> portNumberFromText(QStringView text) {
    const double rounded = std::nearbyint(leadingNumber(text)); // the default mode: halves to even
    if (rounded < std::numeric_limits<qint16>::min() ||
        rounded > std::numeric_limits<qint16>::max())
        return std::nullopt;
    return static_cast<qint16>(rounded);
}

QString numberText(double value) {
    if (value == std::floor(value) && std::abs(value) < 1e15)
        return QString::number(static_cast<qint64>(value));
    return QString::number(value, 'g', 15);
}
