#include "serial/LineSettings.h"

#include <QStringList>

std::optional<LineSettings> LineSettings::parse(const QString &text) {
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;
    LineSettings s;

    bool ok = false;
    const int baud = fields[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return std::nullopt;
    s.baudRate = baud;

    const QString parity = fields[1].trimmed().toLower();
    if (parity == QStringLiteral("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QStringLiteral("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QStringLiteral("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QStringLiteral("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QStringLiteral("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const int data = fields[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8)
        return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(data);

    const QString stop = fields[3].trimmed();
    if (stop == QStringLiteral("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QStringLiteral("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QStringLiteral("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}
