#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>

// Files the tests make and read: images, scratch folders, the run history (each test binary has a
// state folder of its own, test_main.cpp).

// `content` as the whole of the file at `path`; returns the path.
QString writeFileAt(const QString &path, const QByteArray &content);
// The whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);

// Bytes for an image, the same for a seed.
QByteArray randomData(int size, quint32 seed);

// The SHA-256 of a file in hex as coreutils computes it, not as the program does; empty when
// sha256sum cannot be run.
QString sha256sum(const QString &path);

// The objects of a run history file, one a line.
QList<QJsonObject> historyLines(const QString &path);

// A scratch folder for a test's files, removed with the test.
class ScratchFolder {
public:
    QString path(const QString &name) const { return dir.filePath(name); }
    // `content` as the file `name` in the folder; returns its path.
    QString writeFile(const QByteArray &content,
                      const QString &name = QStringLiteral("image.srec")) const {
        return writeFileAt(path(name), content);
    }

    QTemporaryDir dir;
};
