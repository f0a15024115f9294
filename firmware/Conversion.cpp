#include "firmware/Conversion.h"

#include "firmware/Elf.h"
#include "firmware/IntelHex.h"

#include <QLocale>

namespace firmware {

namespace {

ReadOutcome readBinary(QByteArrayView bytes, quint64 base, const PieceSink &sink) {
    ReadOutcome outcome;
    outcome.startOrigin = QStringLiteral("none in a raw binary");
    if (bytes.isEmpty()) {
        outcome.fileProblem = QStringLiteral("is empty");
    } else if (base > MaxAddress || static_cast<quint64>(bytes.size()) - 1 > MaxAddress - base) {
        outcome.fileProblem = QStringLiteral("does not fit at %1: its %2 bytes run past the "
                                             "32-bit address space S-records can address")
                                  .arg(hex(base))
                                  .arg(groupedNumber(static_cast<quint64>(bytes.size())));
    } else {
        sink({base, bytes, 0});
    }
    return outcome;
}

QString plural(quint64 count, const QString &one, const QString &many) {
    return groupedNumber(count) + QLatin1Char(' ') + (count == 1 ? one : many);
}

} // namespace

QString groupedNumber(quint64 value) {
    static const QLocale English(QLocale::English, QLocale::UnitedStates);
    return English.toString(value);
}

Conversion convert(QByteArrayView bytes, const QString &fileName,
                   const ConversionOptions &options) {
    Conversion conversion;
    const Recognition recognition = recognise(bytes, options.binaryBase.has_value());
    conversion.format = recognition.format;
    conversion.refusal = recognition.refusal;
    if (conversion.refused() || !conversion.converted())
        return conversion;

    Reader read;
    switch (conversion.format) {
    case Format::IntelHex:
        read = [bytes](const PieceSink &sink) { return readIntelHex(bytes, sink); };
        break;
    case Format::Elf:
        read = [bytes](const PieceSink &sink) { return readElf(bytes, sink); };
        break;
    case Format::Binary:
        read = [bytes, base = options.binaryBase.value_or(0)](const PieceSink &sink) {
            return readBinary(bytes, base, sink);
        };
        break;
    case Format::SRecords:
        return conversion;
    }
    Assembly assembly = assemble(read);
    if (assembly.outcome.refused()) {
        conversion.refusal = assembly.outcome.fileProblem;
        conversion.problems = std::move(assembly.outcome.problems);
        conversion.problemCount = assembly.outcome.problemCount;
        return conversion;
    }
    const Encoding encoding =
        encodeSRecords(assembly.image, fileName.toUtf8(), options.recordBytes);
    conversion.recordsReport = FileCheck::reportOf(encoding, assembly.image);
    conversion.records = encoding.text;
    conversion.dataType = encoding.dataType;
    conversion.dataRecords = encoding.dataRecords;
    conversion.ranges = static_cast<qsizetype>(assembly.image.runs.size());
    conversion.dataBytes = assembly.image.dataBytes();
    conversion.start = assembly.image.start;
    conversion.startOrigin = assembly.outcome.startOrigin;
    conversion.header = fileName.toUtf8();
    conversion.recordBytes = options.recordBytes;
    if (options.keepImage)
        conversion.image = std::move(assembly.image);
    return conversion;
}

QString summary(const QString &fileName, const Conversion &conversion) {
    if (!conversion.converted() || conversion.refused())
        return {};
    return QStringLiteral("%1: %2, %3 in %4, sent as %5")
        .arg(fileName, formatName(conversion.format),
             plural(conversion.dataBytes, QStringLiteral("byte"), QStringLiteral("bytes")),
             plural(static_cast<quint64>(conversion.ranges), QStringLiteral("range"),
                    QStringLiteral("ranges")),
             plural(static_cast<quint64>(conversion.dataRecords),
                    QStringLiteral("S%1 record").arg(QLatin1Char(conversion.dataType)),
                    QStringLiteral("S%1 records").arg(QLatin1Char(conversion.dataType))));
}

} // namespace firmware
