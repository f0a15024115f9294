#pragma once

// A machine in a scratch folder, as the serial layer's SystemFolders name its parts: dev/ (device
// nodes are plain files or links), sys/, proc/ and root/ for the rest (run/lock, the udev rule
// folders). Header only: the serial room is linked by the tests that include it.
#include "serial/PortDiagnosis.h"
#include "serial/SerialDevices.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class ScratchMachine {
public:
    ScratchMachine() {
        for (const char *folder : {"dev", "sys", "proc", "root/run/lock"})
            QDir().mkpath(dir.filePath(QString::fromLatin1(folder)));
        folders = {dir.filePath(QStringLiteral("dev")), dir.filePath(QStringLiteral("sys")),
                   dir.filePath(QStringLiteral("proc")), dir.filePath(QStringLiteral("root"))};
    }

    // A path in dev/; the folder itself, with a trailing "/", for no name.
    QString dev(const QString &name = {}) const {
        return dir.filePath(QStringLiteral("dev/") + name);
    }
    QString sys() const { return folders.sys; }

    // A file at `path` (from the machine's root) holding `contents`, its folders made.
    QString file(const QString &path, const QByteArray &contents = {}) {
        const QString full = dir.filePath(path);
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile f(full);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << full.toStdString();
        f.write(contents);
        return full;
    }
    // A node in dev/, or a link there to `linkTo`.
    void add(const QString &name, const QString &linkTo = {}) {
        if (linkTo.isEmpty()) {
            file(QStringLiteral("dev/") + name);
            return;
        }
        QDir().mkpath(QFileInfo(dev(name)).path());
        QFile::link(linkTo, dev(name));
    }
    // The UART type sysfs gives a ttyS port (0: no port behind the node).
    void setUartType(const QString &name, int type) {
        file(QStringLiteral("sys/class/tty/%1/type").arg(name), QByteArray::number(type) + '\n');
    }
    // Process `pid` started as `command`, with descriptor `fd` open on `target`.
    void process(qint64 pid, const QByteArray &command, const QString &target = {}, int fd = 3) {
        const QString base = QStringLiteral("proc/%1/").arg(pid);
        file(base + QStringLiteral("cmdline"), command + '\0');
        file(base + QStringLiteral("comm"), command.left(15) + '\n');
        QDir().mkpath(dir.filePath(base + QStringLiteral("fd")));
        if (!target.isEmpty())
            QFile::link(target, dir.filePath(base + QStringLiteral("fd/%1").arg(fd)));
    }
    // The serial devices the program finds here.
    QList<SerialDevice> devices() const { return listSerialDevices(folders.dev, folders.sys); }

    QTemporaryDir dir;
    SystemFolders folders;
};
