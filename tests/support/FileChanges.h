#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <functional>
#include <gtest/gtest.h>

// A change to a file on disk as a build makes it while the file is being sent: `bytes` written
// over the file in place (the same inode, as an open reader sees it), the file cut to their size.
inline std::function<void(const QString &path)> overwriteWith(QByteArray bytes) {
    return [bytes = std::move(bytes)](const QString &path) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite)) << path.toStdString();
        file.write(bytes);
        file.resize(bytes.size());
    };
}
