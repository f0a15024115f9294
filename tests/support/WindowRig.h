#pragma once

#include "SimProcess.h"
#include "TestFiles.h"
#include "app/frmProg.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Readable captions, log texts and run ends in failure messages.
inline void PrintTo(const QString &text, std::ostream *os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(RunResult result, std::ostream *os) {
    *os << toString(result).toStdString();
}

class QMessageBox;
class QPushButton;

// "Tarnix Pellora, Connect:   Error 14:03:27<description>": a failed Connect at a time of day.
void expectErrorCaption(const QString &caption, const QString &description);

// The window against a device on a pseudo-terminal, driven as the operator would: the real serial
// layer, timers and session. The port number is mapped to a link that every device of a test takes
// over in turn, so a replaced device comes back under the same path.
class WindowRig : public ::testing::Test, public ScratchFolder {
protected:
    // A number whose fallback device (/dev/ttyS<N-1>) exists on no machine.
    static constexpr int Port = 4242;
    static const QString Programmed;
    static const QString Failed;

    void SetUp() override;
    void TearDown() override;

    QString linkPath() const { return dir.filePath(QStringLiteral("board")); }
    // [Ports] COM<Port> = `device` in a fresh settings file.
    static void mapPort(const QString &device);

    // A simulator linked at linkPath(), keeping its log; --boot-delay 50 unless the arguments name
    // one.
    void startDevice(QStringList arguments = {});
    // A new window with the port number typed in; openWindow() also connects it.
    void newWindow();
    void openWindow();
    // The operator swaps the device: disconnect, the old one checked and gone, a new one connected.
    void replaceDevice(const QStringList &arguments = {});

    QPushButton *button(const char *name) const;
    QString caption() const;
    QString logText() const;
    // Chooses `path` with "browse" and selects a speed (5: "Auto - fast").
    void choose(const QString &path, int speedIndex = 5);
    // The S-record file of `data`, S3 records of `perRecord` bytes.
    static QByteArray srec(const QByteArray &data, int perRecord = 32);

    // Presses START PROGRAMMING and waits for the caption's end status.
    QString run(int timeoutMs = 20'000);
    // Visible message boxes whose text starts with `prefix`.
    static QList<QMessageBox *> boxes(const QString &prefix = {});
    // The operator clicks OK on every open box.
    static void dismissBoxes();

    // A complete run right after the fault in the same window: Connect again if the port reads
    // closed, a good file, PROGRAMMED, and the device holds exactly its image.
    void programAfterwards(int seed = 99);
    // Nothing malformed reached the device so far.
    void expectNoBadLines();

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<frmProg> window;
    // How each run of the current window ended.
    QList<RunResult> results;
};
