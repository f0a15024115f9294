// The port box's number reading on arbitrary text, decoded as UTF-8, as Latin-1 and as raw UTF-16
// (unpaired surrogates included). Properties: the number is finite; the port number is its rounding
// exactly when that fits in 16 bits; a number stored as text reads back as itself; blanks before
// and any text after a number do not change it.
#include "FuzzSupport.h"
#include "app/PortNumber.h"

#include <QString>
#include <cmath>
#include <limits>

namespace {

void checkText(const QString &text) {
    const double value = leadingNumber(text);
    FUZZ_CHECK(std::isfinite(value));

    const double rounded = std::nearbyint(value);
    const bool fits = rounded >= std::numeric_limits<qint16>::min() &&
                      rounded <= std::numeric_limits<qint16>::max();
    const std::optional<qint16> port = portNumberFromText(text);
    FUZZ_CHECK(port.has_value() == fits);
    if (port) {
        FUZZ_CHECK(*port == rounded);
        // The port number is stored with numberText and shown again in the port box.
        FUZZ_CHECK(portNumberFromText(numberText(*port)) == port);
    }
    if (value == std::floor(value) && std::abs(value) < 1e15)
        FUZZ_CHECK(leadingNumber(numberText(value)) == value);

    FUZZ_CHECK(leadingNumber(QStringLiteral(" \t") + text) == value);
    // A number ends at the first character that cannot continue it; "x" continues none.
    FUZZ_CHECK(leadingNumber(text + QLatin1Char('x')) == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const auto *chars = reinterpret_cast<const char *>(data);
    const auto length = static_cast<qsizetype>(size);
    checkText(QString::fromUtf8(chars, length));
    checkText(QString::fromLatin1(chars, length));
    QString utf16(length / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < utf16.size(); ++i)
        utf16[i] = QChar(static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
    checkText(utf16);
    return 0;
}
