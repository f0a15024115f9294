#include "session/FileSnapshot.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The whole file, read once while it stood still; else why not, in a few words.
QString readWhole(const QString &path, QByteArray &bytes) {
    const QFileInfo info(path);
    if (path.isEmpty())
        return QStringLiteral("no file chosen");
    if (!info.exists())
        return QStringLiteral("no such file");
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    for (int attempt = 0; attempt < FileSnapshot::ReadAttempts; ++attempt) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return file.error() == QFileDevice::PermissionsError
                       ? QStringLiteral("permission denied")
                       : file.errorString();
        struct stat before {};
        struct stat after {};
        if (::fstat(file.handle(), &before) != 0 || !S_ISREG(before.st_mode))
            return QStringLiteral("not a regular file");
        if (before.st_size > FileSnapshot::MaxBytes)
            return QStringLiteral("too large for firmware (%1 MiB; at most %2 MiB)")
                .arg(before.st_size >> 20)
                .arg(FileSnapshot::MaxBytes >> 20);
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return file.errorString();
        // A writer busy with the file while it was read would leave a mix of its old and new
        // bytes here: only a read the file stood still for counts.
        if (::fstat(file.handle(), &after) == 0 && sameFile(before, after) &&
            bytes.size() == after.st_size)
            return {};
    }
    bytes.clear();
    return QStringLiteral("it kept changing while it was read; wait until it is written");
}

// The file's bytes made into what a run sends.
void load(FileSnapshot &snapshot, QByteArray file, const firmware::ConversionOptions &options) {
    FileSnapshot::Source &source = snapshot.source;
    source.size = file.size();
    source.conversion = firmware::convert(file, QFileInfo(snapshot.path).fileName(), options);
    source.format = source.conversion.format;
    const bool converted = source.conversion.converted() && !source.conversion.refused();
    if (converted) {
        source.sha256 = QCryptographicHash::hash(file, QCryptographicHash::Sha256);
        snapshot.bytes = std::exchange(source.conversion.records, QByteArray());
    } else {
        snapshot.bytes = std::move(file);
    }
    snapshot.report = FileCheck::scan(snapshot.bytes);
    if (!converted)
        source.sha256 = snapshot.report.sha256;
}

} // namespace

std::shared_ptr<const FileSnapshot> FileSnapshot::take(const QString &path,
                                                       const firmware::ConversionOptions &options) {
    auto snapshot = std::make_shared<FileSnapshot>();
    snapshot->path = path;
    QByteArray file;
    if (const QString why = readWhole(path, file); !why.isEmpty()) {
        snapshot->report.error = QStringLiteral("%1: cannot read the file (%2)").arg(path, why);
        return snapshot;
    }
    load(*snapshot, std::move(file), options);
    return snapshot;
}

std::shared_ptr<const FileSnapshot> FileSnapshot::of(const QString &path, QByteArray bytes,
                                                     const firmware::ConversionOptions &options) {
    auto snapshot = std::make_shared<FileSnapshot>();
    snapshot->path = path;
    load(*snapshot, std::move(bytes), options);
    return snapshot;
}

QString FileSnapshot::refusal(bool checkRecords) const {
    if (!report.error.isEmpty())
        return report.error;
    if (!checkRecords)
        return {};
    const firmware::Conversion &conversion = source.conversion;
    if (!conversion.refusal.isEmpty())
        return QStringLiteral("File refused: %1 %2").arg(path, conversion.refusal);
    if (!conversion.problems.isEmpty()) {
        const firmware::Problem &first = conversion.problems.constFirst();
        return QStringLiteral("File refused: line %1 of %2 %3")
            .arg(first.line)
            .arg(path, first.text);
    }
    return report.refusal(path);
}

QString FileSnapshot::conversionNote() const {
    return converted() ? firmware::summary(QFileInfo(path).fileName(), source.conversion)
                       : QString();
}

FileFacts FileSnapshot::facts() const {
    return {.path = path,
            .format = source.format,
            .size = source.size,
            .sha256 = source.sha256,
            .sentSha256 = report.sha256,
            .lines = report.lines,
            .records = report.recordCount()};
}
