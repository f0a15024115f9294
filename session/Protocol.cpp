#include "session/Protocol.h"

#include <QVariantList>
#include <cmath>

namespace Protocol {

std::optional<QByteArray> framePacket(quint8 cmd, const QVariant &data) {
    QByteArray frame;
    frame.append(static_cast<char>(cmd));
    if (data.typeId() == QMetaType::QVariantList || data.typeId() == QMetaType::QByteArray) {
        QVariantList values;
        if (data.typeId() == QMetaType::QByteArray) {
            for (char c : data.toByteArray())
                values.append(static_cast<quint8>(c));
        } else {
            values = data.toList();
        }
        if (values.size() > MaxPacketData)
            return std::nullopt;
        frame.append(static_cast<char>(values.size()));
        for (const QVariant &value : values) {
            bool ok = false;
            const double number = value.toDouble(&ok);
            if (!ok || !std::isfinite(number))
                return std::nullopt;
            // Numbers convert to bytes by rounding, halves to even.
            const double rounded = std::nearbyint(number);
            if (rounded < 0 || rounded > 255)
                return std::nullopt;
            frame.append(static_cast<char>(static_cast<int>(rounded)));
        }
    } else {
        frame.append('\0');
    }
    frame.append(static_cast<char>(cmd ^ 0xFF));
    return frame;
}

} // namespace Protocol
