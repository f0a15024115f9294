// The settings store on arbitrary file contents. Properties: nothing crashes; a file that does not
// parse reads as empty; a file that parses and may be written takes the new value, which then reads
// back (up to its first NUL) with every port mapping unchanged, unless Qt wrote a file it cannot
// parse itself, which then reads as empty; a read-only file, or one that does not parse, is left
// byte for byte as it was.
//
// Input: a flags byte (bit 0: the file is read-only), a length byte, that many bytes (at most 63)
// of value text in UTF-8, then the file's contents.
#include "FuzzSupport.h"
#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// One configuration folder for the whole run, so the user's own settings are never touched.
QTemporaryDir &configHome() {
    static QTemporaryDir dir;
    return dir;
}
QString settingsFile;
std::int64_t stamp = 1'000'000'000;

// Writes the file with a modification time of its own: QSettings caches files by path, size and
// time, and two inputs of one size written within one clock tick would otherwise read as the same.
void writeFile(const QString &path, const QByteArray &contents) {
    QFile file(path);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(contents) == contents.size());
    file.close();
    const timespec times[2] = {{static_cast<time_t>(stamp), 0}, {static_cast<time_t>(stamp), 0}};
    ++stamp;
    FUZZ_CHECK(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0);
}

void writeSettings(const QByteArray &contents, bool readOnly) {
    writeFile(settingsFile, contents);
    if (readOnly)
        FUZZ_CHECK(QFile::setPermissions(settingsFile, QFileDevice::ReadOwner |
                                                           QFileDevice::ReadGroup |
                                                           QFileDevice::ReadOther));
}

// Whether Qt parses every group of the file (it parses a group on first use only).
bool parsesFully(const QString &path) {
    QSettings probe(path, QSettings::IniFormat);
    (void)probe.allKeys();
    return probe.status() == QSettings::NoError;
}
// The same for `contents`, read fresh from a file that Qt has not cached under this modification
// time.
bool parsesFresh(const QByteArray &contents) {
    const QString path = configHome().path() + QStringLiteral("/probe.ini");
    writeFile(path, contents);
    return parsesFully(path);
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

QList<std::optional<QString>> portMap() {
    QList<std::optional<QString>> map;
    for (int number = 0; number <= 4; ++number) {
        const std::optional<QString> device = ModuleReg::mappedPortDevice(number);
        FUZZ_CHECK(!device || (!device->isEmpty() && *device == device->trimmed()));
        map << device;
    }
    return map;
}

bool none(const QList<std::optional<QString>> &map) {
    return std::none_of(map.begin(), map.end(),
                        [](const auto &device) { return device.has_value(); });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    FUZZ_CHECK(configHome().isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome().path()));
    ensureApplication();
    settingsFile = ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE,
                                              QString::fromLatin1(ModuleReg::SettingsPath));
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
    // Whether the file parses, asked of Qt itself. This also puts the file in Qt's cache, as the
    // window's first read does, before the store is used.
    const bool parses = parsesFully(settingsFile);
    const std::optional<QString> before = readComPort();
    const QList<std::optional<QString>> portsBefore = portMap();
    if (!parses)
        FUZZ_CHECK(!before && none(portsBefore));

    ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE,
                              QString::fromLatin1(ModuleReg::SettingsPath),
                              QString::fromLatin1(ModuleReg::ComPortValue), value);

    const std::optional<QString> after = readComPort();
    if (readOnly || !parses) {
        FUZZ_CHECK(readSettings() == contents);
        FUZZ_CHECK(after == before);
    } else if (parsesFresh(readSettings())) {
        const qsizetype nul = value.indexOf(QChar(0));
        FUZZ_CHECK(after == (nul < 0 ? value : value.left(nul)));
        FUZZ_CHECK(portMap() == portsBefore);
    } else {
        // Qt wrote what it cannot read back (a key ending in "/" comes out as "KEY\="): from then
        // on the store refuses the file like any other that does not parse.
        FUZZ_CHECK(!after && none(portMap()));
    }
    return 0;
}
