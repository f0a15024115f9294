#include "firmware/CheckedFile.h"

#include <QCryptographicHash>

namespace firmware {

CheckedFile checkFile(QByteArray file, const QString &fileName, const ConversionOptions &options) {
    CheckedFile checked;
    CheckedFile::Source &source = checked.source;
    source.size = file.size();
    source.conversion = convert(file, fileName, options);
    source.format = source.conversion.format;
    if (source.conversion.converted() && !source.conversion.refused()) {
        source.sha256 = QCryptographicHash::hash(file, QCryptographicHash::Sha256);
        checked.report = std::exchange(source.conversion.recordsReport, {});
        checked.bytes = std::exchange(source.conversion.records, QByteArray());
    } else {
        checked.bytes = std::move(file);
        checked.report = FileCheck::scan(checked.bytes);
        source.sha256 = checked.report.sha256;
    }
    return checked;
}

QString CheckedFile::refusal(const QString &path) const {
    if (!report.error.isEmpty())
        return report.error;
    const Conversion &conversion = source.conversion;
    if (!conversion.refusal.isEmpty())
        return QStringLiteral("File refused: %1 %2").arg(path, conversion.refusal);
    if (!conversion.problems.isEmpty()) {
        const Problem &first = conversion.problems.constFirst();
        return QStringLiteral("File refused: line %1 of %2 %3")
            .arg(first.line)
            .arg(path, first.text);
    }
    return report.refusal(path);
}

QString CheckedFile::conversionNote(const QString &fileName) const {
    return converted() ? summary(fileName, source.conversion) : QString();
}

} // namespace firmware
