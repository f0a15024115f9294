#pragma once

#include "firmware/CheckedFile.h"
#include "session/RunSummary.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <variant>

// A firmware file as one run sends it: its bytes, read whole when the run starts, and what they
// hold, as the firmware room checked them (see firmware::CheckedFile: `bytes`, `report`, `source`).
// Whatever happens to the file on disk afterwards (a build rewriting it, a copy growing or cut
// short), the run sends these bytes, and its summary and history name these bytes.
struct FileSnapshot : firmware::CheckedFile {
    // Firmware for a serial bootloader is far smaller; a larger file is refused rather than held.
    static constexpr qint64 MaxBytes = qint64{256} << 20;
    // A file that changes while it is read is read again, this many times at most.
    static constexpr int ReadAttempts = 3;

    QString path;

    // Reads `path` whole. Never null. report.error says why a file could not be read.
    static std::shared_ptr<const FileSnapshot>
    take(const QString &path, const firmware::ConversionOptions &options = {});
    // Bytes already read, under the name of the file they came from.
    static std::shared_ptr<const FileSnapshot> of(const QString &path, QByteArray bytes,
                                                  const firmware::ConversionOptions &options = {});

    // Why a run must not start with this file: a note naming the file, the line and the reason,
    // judged once when the snapshot was taken. Empty when it may.
    const QString &refusal() const { return refusal_; }
    // What one board is sent: these bytes with `bytes` written at `address` (its own number),
    // judged again; or why they cannot be written there. A converted file must have been taken
    // with ConversionOptions::keepImage.
    std::variant<std::shared_ptr<const FileSnapshot>, QString>
    withBytesAt(quint64 address, QByteArrayView bytes) const;
    // What a converted file became, for the log before its run starts; empty for S-records.
    QString conversionNote() const;
    FileFacts facts() const;

private:
    void judge();

    QString refusal_;
};
