#pragma once

#include <QString>
#include <optional>

// The number at the start of a text, as the port box is read: leading blanks skipped, an optional
// sign, digits, "." as the decimal point; a text that does not start with a number is 0.
double leadingNumber(QStringView text);

// The port number applied from the port box: the leading number rounded to the nearest whole
// number, halves to the even neighbour. No value when it does not fit in 16 bits.
std::optional<qint16> portNumberFromText(QStringView text);

// The decimal text of a number as it is stored: a whole number without decimals ("3").
QString numberText(double value);
