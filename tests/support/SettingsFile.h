#pragma once

// The settings file both programs read, in the test binary's own configuration folder
// (test_main.cpp). Header only: the settings room is linked by the tests that include it.
#include "TestFiles.h"
#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>

inline QString settingsFile() {
    return ModuleReg::settingsFile();
}

// Removes whatever stands at the settings file's place: a file, a read-only one, a folder.
inline void removeSettings() {
    const QString file = settingsFile();
    QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (QFileInfo(file).isDir())
        QDir(file).removeRecursively();
    QFile::remove(file);
}

// `contents` as the whole file, its folder made.
inline void writeSettings(const QByteArray &contents) {
    QDir().mkpath(QFileInfo(settingsFile()).absolutePath());
    writeFileAt(settingsFile(), contents);
}
inline QByteArray readSettings() {
    return readFile(settingsFile());
}

// Sets `key` ("ComPort", "Ports/COM3") to `value`, keeping the rest of the file.
inline void storeSetting(const QString &key, const QString &value) {
    QDir().mkpath(QFileInfo(settingsFile()).absolutePath());
    QSettings ini(settingsFile(), QSettings::IniFormat);
    ini.setValue(key, value);
    ini.sync();
}

// Adds the [Ports] entry COM<number> = `device` to what the file holds.
inline void mapPort(int number, const QString &device) {
    storeSetting(QStringLiteral("Ports/COM%1").arg(number), device);
}
