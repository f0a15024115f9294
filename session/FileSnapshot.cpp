#include "session/FileSnapshot.h"

#include "firmware/SerialPatch.h"

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

} // namespace

std::shared_ptr<const FileSnapshot> FileSnapshot::take(const QString &path,
                                                       const firmware::ConversionOptions &options) {
    QByteArray file;
    if (const QString why = readWhole(path, file); !why.isEmpty()) {
        auto snapshot = std::make_shared<FileSnapshot>();
        snapshot->path = path;
        snapshot->report.error = QStringLiteral("%1: cannot read the file (%2)").arg(path, why);
        snapshot->judge();
        return snapshot;
    }
    return of(path, std::move(file), options);
}

std::shared_ptr<const FileSnapshot> FileSnapshot::of(const QString &path, QByteArray bytes,
                                                     const firmware::ConversionOptions &options) {
    auto snapshot = std::make_shared<FileSnapshot>();
    static_cast<firmware::CheckedFile &>(*snapshot) =
        firmware::checkFile(std::move(bytes), QFileInfo(path).fileName(), options);
    snapshot->path = path;
    snapshot->judge();
    return snapshot;
}

std::variant<std::shared_ptr<const FileSnapshot>, QString>
FileSnapshot::withBytesAt(quint64 address, QByteArrayView bytes) const {
    auto patched = firmware::patchFile(*this, address, bytes);
    if (const QString *error = std::get_if<QString>(&patched))
        return *error;
    auto snapshot = std::make_shared<FileSnapshot>();
    static_cast<firmware::CheckedFile &>(*snapshot) =
        std::move(std::get<firmware::Patched>(patched).file);
    snapshot->path = path;
    snapshot->judge();
    return snapshot;
}

void FileSnapshot::judge() {
    refusal_ = CheckedFile::refusal(path);
}

QString FileSnapshot::conversionNote() const {
    return CheckedFile::conversionNote(QFileInfo(path).fileName());
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
