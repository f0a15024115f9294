// The settings store on arbitrary file contents. Properties: nothing crashes; the lines it cannot
// read are numbered within the file; a file that may be written takes the new value, which then
// reads back (up to its first NUL) with every port mapping unchanged, and only the value's own
// line, or the lines added for it, differ from what was there; a read-only file is left byte for
// byte as it was.
//
// Input: a flags byte (bit 0: the file is read-only), a length byte, that many bytes (at most 63)
// of value text in UTF-8, then the file's contents.
#include "FuzzSupport.h"
#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

// One configuration folder for the whole run, so the user's own settings are never touched.
QTemporaryDir &configHome() {
    static QTemporaryDir dir;
    return dir;
}
QString settingsFile;

void writeSettings(const QByteArray &contents, bool readOnly) {
    QFile file(settingsFile);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(contents) == contents.size());
    file.close();
    if (readOnly)
        FUZZ_CHECK(QFile::setPermissions(settingsFile, QFileDevice::ReadOwner |
                                                           QFileDevice::ReadGroup |
                                                           QFileDevice::ReadOther));
}

QByteArray readSettings() {
    QFile file(settingsFile);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

std::optional<QString> readComPort() {
    return ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE,
                                    QString::fromLatin1(ModuleReg::SettingsPath),
                                    QString::fromLatin1(ModuleReg::ComPortValue));
}

QList<QString> portMap() {
    QList<QString> map;
    for (int number = 0; number <= 4; ++number) {
        const ModuleReg::PortMapping mapping = ModuleReg::portMapping(number);
        FUZZ_CHECK(mapping.device == mapping.device.trimmed());
        FUZZ_CHECK((mapping.state == ModuleReg::PortMapping::State::Mapped) !=
                   mapping.device.isEmpty());
        // The reason may name a line, which a key added above it moves.
        map << QString::number(static_cast<int>(mapping.state)) + mapping.device;
    }
    return map;
}

// The lines of `contents`, each with its line end.
QList<QByteArray> linesOf(const QByteArray &contents) {
    QList<QByteArray> lines;
    for (qsizetype start = 0; start < contents.size();) {
        const qsizetype newline = contents.indexOf('\n', start);
        const qsizetype end = newline < 0 ? contents.size() : newline + 1;
        lines << contents.mid(start, end - start);
        start = end;
    }
    return lines;
}

// Whether `after` is `before` with one line replaced, or lines added in one place (at most a line
// end for the last line, a blank line, a heading and the key).
bool changedInOnePlace(const QByteArray &before, const QByteArray &after) {
    const QList<QByteArray> a = linesOf(before);
    const QList<QByteArray> b = linesOf(after);
    qsizetype head = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head])
        ++head;
    qsizetype tail = 0;
    while (tail < a.size() - head && tail < b.size() - head &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    return a.size() - head - tail <= 1 && b.size() - head - tail <= 4;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FUZZ_CHECK(configHome().isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome().path()));
    ensureApplication();
    settingsFile = ModuleReg::settingsFile();
    FUZZ_CHECK(settingsFile == configHome().path() + QStringLiteral("/Tarnix/Settings.ini"));
    FUZZ_CHECK(QDir().mkpath(configHome().path() + QStringLiteral("/Tarnix")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in(data, size);
    const bool readOnly = (in.byte() & 1) != 0;
    const QString value = QString::fromUtf8(in.take(in.byte() & 63));
    const QByteArray contents = in.rest();

    writeSettings(contents, readOnly);
    const std::optional<QString> before = readComPort();
    const QList<QString> portsBefore = portMap();
    const qsizetype lines = linesOf(contents).size();
    for (const ModuleReg::UnreadableLine &line : ModuleReg::unreadableLines())
        FUZZ_CHECK(line.line >= 1 && line.line <= lines);

    ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE,
                              QString::fromLatin1(ModuleReg::SettingsPath),
                              QString::fromLatin1(ModuleReg::ComPortValue), value);

    const std::optional<QString> after = readComPort();
    if (readOnly) {
        FUZZ_CHECK(readSettings() == contents);
        FUZZ_CHECK(after == before);
        return 0;
    }
    const qsizetype nul = value.indexOf(QChar(0));
    FUZZ_CHECK(after == (nul < 0 ? value : value.left(nul)));
    FUZZ_CHECK(portMap() == portsBefore);
    FUZZ_CHECK(changedInOnePlace(contents, readSettings()));
    return 0;
}
