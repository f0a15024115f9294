#include "session/RunHistory.h"

#include "session/RunEnd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QJsonValue orNull(bool known, const QJsonValue &value) {
    return known ? value : QJsonValue();
}

QString hexText(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex());
}

QString describe(const QString &path, int error) {
    return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Appends the lines of `path` that hold a JSON object to `lines`, in file order. A missing file
// holds none; false when the file exists and cannot be read.
bool readObjects(const QString &path, QList<QJsonObject> &lines) {
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = file.readAll();
    for (const QByteArray &line : content.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            lines.append(document.object());
    }
    return true;
}

} // namespace

QJsonObject historyLine(const RunSummary &run, const RunOrigin &origin) {
    const auto time = [](const QDateTime &t) {
        return orNull(t.isValid(), t.toUTC().toString(Qt::ISODateWithMs));
    };
    const bool counted = run.facts.has_value();
    QJsonObject o;
    o.insert(QStringLiteral("start"), time(run.started));
    o.insert(QStringLiteral("end"), time(run.ended));
    o.insert(QStringLiteral("program"), origin.program);
    o.insert(QStringLiteral("version"), origin.version);
    o.insert(QStringLiteral("host"), QSysInfo::machineHostName());
    o.insert(QStringLiteral("device"), origin.device);
    o.insert(QStringLiteral("port"), orNull(origin.portNumber > 0, origin.portNumber));
    o.insert(QStringLiteral("file"), QFileInfo(run.file).absoluteFilePath());
    o.insert(QStringLiteral("format"),
             orNull(counted, counted ? firmware::formatWord(run.facts->format) : QString()));
    o.insert(QStringLiteral("file_size"), orNull(counted, counted ? run.facts->size : 0));
    o.insert(QStringLiteral("sha256"), orNull(counted, hexText(counted ? run.facts->sha256 : "")));
    o.insert(QStringLiteral("sent_sha256"),
             orNull(counted, hexText(counted ? run.facts->sentSha256 : "")));
    o.insert(QStringLiteral("records"), orNull(counted, counted ? run.facts->records : 0));
    o.insert(QStringLiteral("lines_sent"), run.linesSent);
    o.insert(QStringLiteral("lines_total"), orNull(counted, counted ? run.facts->lines : 0));
    o.insert(QStringLiteral("bytes_sent"), run.bytesSent);
    o.insert(QStringLiteral("result"), toString(run.result));
    o.insert(QStringLiteral("exit_code"),
             orNull(origin.exitCode.has_value(), origin.exitCode.value_or(0)));
    o.insert(QStringLiteral("seconds"), std::round(run.seconds() * 1000.0) / 1000.0);
    o.insert(QStringLiteral("board"), orNull(origin.board.has_value(), origin.board.value_or(0)));
    const QString note = runEnd(run.cause).note(run.note).simplified();
    o.insert(QStringLiteral("note"), orNull(!note.isEmpty(), note));
    o.insert(QStringLiteral("serial"), orNull(!origin.serial.isEmpty(), origin.serial));
    o.insert(QStringLiteral("serial_address"),
             orNull(!origin.serialAddress.isEmpty(), origin.serialAddress));
    o.insert(QStringLiteral("boot"), bootObject(run.boot));
    o.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(run.warnings));
    o.insert(QStringLiteral("adapter"), adapterObject(origin.adapter));
    return o;
}

QJsonValue bootObject(const std::optional<BootCheck> &boot) {
    if (!boot)
        return QJsonValue();
    QJsonObject groups;
    for (auto it = boot->groups.cbegin(); it != boot->groups.cend(); ++it)
        groups.insert(it.key(), it.value());
    return QJsonObject{{QStringLiteral("result"), boot->word()},
                       {QStringLiteral("expected"), boot->expected},
                       {QStringLiteral("line"), orNull(!boot->line.isEmpty(), boot->line)},
                       {QStringLiteral("groups"), groups},
                       {QStringLiteral("seconds"), std::round(boot->seconds * 1000.0) / 1000.0}};
}

QJsonValue adapterObject(const std::optional<AdapterIdentity> &adapter) {
    if (!adapter)
        return QJsonValue();
    const auto text = [](const QString &value) { return orNull(!value.isEmpty(), value); };
    return QJsonObject{{QStringLiteral("vendor_id"), text(adapter->vendorId)},
                       {QStringLiteral("product_id"), text(adapter->productId)},
                       {QStringLiteral("serial"), text(adapter->serial)},
                       {QStringLiteral("by_path"), text(adapter->byPath)}};
}

QString RunHistory::defaultPath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative XDG_STATE_HOME is invalid and must be ignored, as the XDG base folders say.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/tarnix-pellora/history.jsonl");
}

RunHistory::RunHistory(QString path, qint64 rotateBytes)
    : path_(std::move(path)), rotateBytes_(rotateBytes) {}

bool RunHistory::append(const QJsonObject &line) {
    const QString error = appendLine(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    if (error.isEmpty())
        return true;
    if (!failedOnce_) {
        failedOnce_ = true;
        warning_ = error;
    }
    return false;
}

QString RunHistory::takeWarning() {
    return std::exchange(warning_, QString());
}

QString RunHistory::appendLine(const QByteArray &line) {
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder))
        return QStringLiteral("%1: cannot create the folder").arg(folder);
    const QByteArray name = QFile::encodeName(path_);
    const QByteArray previous = QFile::encodeName(previousPath());
    // A few turns at most: one to rotate, one more when another writer rotated meanwhile.
    for (int turn = 0; turn < 4; ++turn) {
        const Descriptor file(
            ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (file.get() < 0)
            return describe(path_, errno);
        // Held until the descriptor closes. Where locks are not supported the line still goes out
        // whole; only a rotation could then race.
        while (::flock(file.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(file.get(), &opened) != 0)
            return describe(path_, errno);
        if (::stat(name.constData(), &named) != 0 || named.st_ino != opened.st_ino ||
            named.st_dev != opened.st_dev)
            continue; // rotated since we opened it
        if (opened.st_size > 0 && opened.st_size + line.size() > rotateBytes_) {
            if (::rename(name.constData(), previous.constData()) != 0)
                return describe(previousPath(), errno);
            continue;
        }
        ssize_t written;
        do {
            written = ::write(file.get(), line.constData(), static_cast<std::size_t>(line.size()));
        } while (written < 0 && errno == EINTR);
        if (written == line.size())
            return {};
        const int error = written < 0 ? errno : ENOSPC;
        // No half line for the next writer to continue: under the lock, nothing follows it yet.
        if (written > 0) [[maybe_unused]]
            const int cut = ::ftruncate(file.get(), opened.st_size);
        return describe(path_, error);
    }
    return QStringLiteral("%1: rotated by another writer again and again").arg(path_);
}

QList<QJsonObject> RunHistory::readLast(const QString &path, int count, QString *error) {
    QList<QJsonObject> current;
    if (!readObjects(path, current)) {
        if (error)
            *error = QStringLiteral("%1: cannot be read").arg(path);
        return {};
    }
    QList<QJsonObject> lines;
    if (current.size() < count)
        readObjects(path + QStringLiteral(".1"), lines);
    lines.append(current);
    if (lines.size() > count)
        lines.remove(0, lines.size() - count);
    return lines;
}
