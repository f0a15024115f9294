#pragma once

#include <QSerialPort>
#include <QString>
#include <optional>

// A parsed line-settings string such as "57600,n,8,1".
struct LineSettings {
    qint32 baudRate = 57600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    static std::optional<LineSettings> parse(const QString &text);
};
