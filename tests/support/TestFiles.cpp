#include "TestFiles.h"

#include "Wait.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <gtest/gtest.h>

QString writeFileAt(const QString &path, const QByteArray &content) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(content);
    return path;
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomData(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(random.bounded(256));
    return data;
}

QString sha256sum(const QString &path) {
    QProcess tool;
    tool.start(QStringLiteral("sha256sum"), {path});
    if (!waitForEnd(tool, 5000) || tool.exitCode() != 0)
        return {};
    return QString::fromLatin1(tool.readAllStandardOutput().left(64));
}

QList<QJsonObject> historyLines(const QString &path) {
    QList<QJsonObject> lines;
    for (const QByteArray &line : readFile(path).split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    return lines;
}
