// Complete runs of the window against the device simulator over a pseudo-terminal: the real serial
// layer, the real timers, the real session.
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "TestPty.h"
#include "app/LogView.h"
#include "app/frmProg.h"
#include "session/RunHistory.h"
#include "settings/ModuleReg.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr int SimPort = 9;
const QString Programmed = QStringLiteral("Tarnix Pellora, PROGRAMMED");
const QString Failed = QStringLiteral("Tarnix Pellora, Programming FAILLED");

QByteArray randomData(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(random.bounded(256));
    return data;
}

QList<QJsonObject> historyLines(const QString &file) {
    QList<QJsonObject> lines;
    QFile history(file);
    if (history.open(QIODevice::ReadOnly))
        for (const QByteArray &line : history.readAll().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
    return lines;
}

// The digest as coreutils computes it, not as the program does.
QString sha256sum(const QString &file) {
    QProcess tool;
    tool.start(QStringLiteral("sha256sum"), {file});
    if (!tool.waitForFinished(5000) || tool.exitCode() != 0)
        return {};
    return QString::fromLatin1(tool.readAllStandardOutput().left(64));
}

class EndToEndTest : public ::testing::Test {
protected:
    void startSim(const QStringList &arguments) {
        ASSERT_TRUE(sim.start(arguments)) << sim.errorString().toStdString();
        const QString file = ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE,
                                                        QString::fromLatin1(ModuleReg::SettingsPath));
        QFile::remove(file);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QSettings ini(file, QSettings::IniFormat);
        ini.setValue(QStringLiteral("Ports/COM%1").arg(SimPort), sim.slavePath());
        ini.sync();

        window = std::make_unique<frmProg>();
        window->show();
        window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->setText(QString::number(SimPort));
        button("btnCon")->click();
        ASSERT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, Connect: True"));
    }

    QPushButton *button(const char *name) { return window->findChild<QPushButton *>(QString::fromLatin1(name)); }

    void choose(const QString &path, int speedIndex) {
        window->setFileChooser([path](QWidget *) { return path; });
        button("btnopenFile")->click();
        window->findChild<QComboBox *>(QStringLiteral("Combospeed"))->setCurrentIndex(speedIndex);
    }

    QString writeFile(const QByteArray &content, const QString &name = QStringLiteral("image.srec")) {
        QFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(content);
        return file.fileName();
    }

    // Presses START PROGRAMMING and waits for the end status in the caption.
    QString run(int timeoutMs) {
        EXPECT_TRUE(button("btnFlash")->isEnabled());
        button("btnFlash")->click();
        waitUntil([&] { return window->windowTitle() == Programmed || window->windowTitle() == Failed; },
                  timeoutMs);
        return window->windowTitle();
    }

    void expectImage(const QByteArray &data) {
        ASSERT_TRUE(sim.waitForRuns(1, 5000));
        const auto summary = sim.summary();
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->value(QStringLiteral("bad_lines")).toInt(), 0);
        EXPECT_EQ(sim.image(), data);
    }

    QTemporaryDir dir;
    SimProcess sim;
    std::unique_ptr<frmProg> window;
};

} // namespace

TEST_F(EndToEndTest, fastestPacingWithS1Records) {
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("100")});
    const QByteArray data = randomData(1024, 1);
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits16;
    choose(writeFile(SRecordWriter::file(data, 0x1000, options)), 0);
    EXPECT_EQ(run(20'000), Programmed);
    expectImage(data);
    EXPECT_TRUE(window->log().text().contains(QStringLiteral("Programmed successfully! Restarting device....")));
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(button("btnFlash")->isEnabled());
}

TEST_F(EndToEndTest, autoPacingWithS2AndS3RecordsAndCrLfLines) {
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("50")});
    const QByteArray data = randomData(32 * 1024, 2);
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits24;
    options.lineEnding = "\r\n";
    choose(writeFile(SRecordWriter::file(data, 0x20000, options)), 5);
    EXPECT_EQ(run(30'000), Programmed);
    expectImage(data);
    // One "." per line in the log.
    const int lines = static_cast<int>(SRecordWriter::lines(data, 0x20000, options).size());
    EXPECT_EQ(window->log().text().count(QLatin1Char('.')) - 4, lines); // the closing text has four

    // A second run right after, with 32-bit addresses, in the same window.
    SRecordWriter::Options wide;
    wide.width = SRecordWriter::AddressWidth::Bits32;
    const QByteArray more = randomData(8 * 1024, 3);
    choose(writeFile(SRecordWriter::file(more, 0x08000000, wide), QStringLiteral("second.srec")), 5);
    window->setWindowTitle(QStringLiteral("Tarnix Pellora"));
    EXPECT_EQ(run(30'000), Programmed);
    ASSERT_TRUE(sim.waitForRuns(2, 5000));
    EXPECT_EQ(sim.image(), more);
}

TEST_F(EndToEndTest, aFileMadeByObjcopy) {
    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    if (objcopy.isEmpty())
        GTEST_SKIP() << "objcopy is not installed";
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("50")});
    const QByteArray data = randomData(5000, 4);
    const QString bin = writeFile(data, QStringLiteral("data.bin"));
    const QString srec = dir.filePath(QStringLiteral("objcopy.srec"));
    ASSERT_EQ(QProcess::execute(objcopy, {QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"),
                                          QStringLiteral("srec"), QStringLiteral("--change-addresses"),
                                          QStringLiteral("0x8000"), bin, srec}),
              0);
    choose(srec, 5);
    EXPECT_EQ(run(30'000), Programmed);
    expectImage(data);
}

TEST_F(EndToEndTest, aDeviceThatStopsAcknowledgingFails) {
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("50"), QStringLiteral("--stop-ack-after"),
              QStringLiteral("3")});
    choose(writeFile(SRecordWriter::file(randomData(1024, 5), 0)), 5);
    EXPECT_EQ(run(20'000), Failed);
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("Error: DOT Timeout"));
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    box->button(QMessageBox::Ok)->click();
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(button("btnFlash")->isEnabled());
}

TEST_F(EndToEndTest, aDeviceThatNeverBootsLeavesTheFailureInTheLog) {
    startSim({QStringLiteral("--never-boot")});
    choose(writeFile(SRecordWriter::file(randomData(64, 6), 0)), 2);
    window->session().setBootTimeout(2); // the window's 60 s, shortened for the test only
    button("btnFlash")->click();
    EXPECT_TRUE(waitUntil([&] { return window->log().text().contains(QStringLiteral("Restart to bootprogram failled!")); },
                          10'000));
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, Connect: True"));
}

TEST_F(EndToEndTest, theAdapterPulledMidRunIsOneErrorAndConnectWorksAgain) {
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("50"), QStringLiteral("--hangup-after"),
              QStringLiteral("5")});
    choose(writeFile(SRecordWriter::file(randomData(2048, 7), 0)), 5);
    button("btnFlash")->click();
    ASSERT_TRUE(waitUntil([&] { return !window->PortOpen(); }, 10'000));
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, Connect: False"));
    EXPECT_EQ(button("btnCon")->text(), QStringLiteral("Connect"));
    EXPECT_EQ(window->session().state(), SessionState::Idle);
    int comErrors = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible() && box->text().startsWith(QStringLiteral("COM error")))
            ++comErrors;
    EXPECT_EQ(comErrors, 1);
}

TEST_F(EndToEndTest, aCompleteRunLeavesItsLineInTheRunHistory) {
    // The test's own state folder (see test_main.cpp), never the user's.
    const QString history = RunHistory::defaultPath();
    ASSERT_TRUE(history.startsWith(qEnvironmentVariable("XDG_STATE_HOME")))
        << history.toStdString();
    const qsizetype before = historyLines(history).size();
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("50")});
    const QByteArray data = randomData(2048, 7);
    const QByteArray srec = SRecordWriter::file(data, 0x3000);
    const QString file = writeFile(srec);
    choose(file, 5);
    ASSERT_EQ(run(20'000), Programmed);

    const QList<QJsonObject> lines = historyLines(history);
    ASSERT_EQ(lines.size(), before + 1);
    const QJsonObject line = lines.constLast();
    EXPECT_EQ(line.value(QStringLiteral("program")).toString(), QStringLiteral("tarnix-pellora"));
    EXPECT_EQ(line.value(QStringLiteral("device")).toString(), sim.slavePath());
    EXPECT_EQ(line.value(QStringLiteral("port")).toInt(), SimPort);
    EXPECT_EQ(line.value(QStringLiteral("file")).toString(), file);
    const QString sha = sha256sum(file);
    ASSERT_FALSE(sha.isEmpty()) << "sha256sum is needed";
    EXPECT_EQ(line.value(QStringLiteral("sha256")).toString(), sha);
    EXPECT_EQ(line.value(QStringLiteral("file_size")).toInteger(), srec.size());
    EXPECT_EQ(line.value(QStringLiteral("bytes_sent")).toInteger(), srec.size());
    EXPECT_EQ(line.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
    EXPECT_TRUE(line.value(QStringLiteral("exit_code")).isNull());
}

TEST_F(EndToEndTest, anUnwritableRunHistoryIsNotedOnceAndFailsNoRun) {
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    writeFile("", QStringLiteral("state")); // a file where the folder should be
    qputenv("XDG_STATE_HOME", dir.filePath(QStringLiteral("state")).toLocal8Bit());
    startSim({QStringLiteral("--boot-delay"), QStringLiteral("50")});
    qputenv("XDG_STATE_HOME", saved);
    choose(writeFile(SRecordWriter::file(randomData(256, 8), 0)), 5);
    EXPECT_EQ(run(20'000), Programmed);
    window->setWindowTitle(QString());
    EXPECT_EQ(run(20'000), Programmed);
    EXPECT_EQ(window->log().text().count(QStringLiteral("The run history cannot be written")), 1)
        << window->log().text().toStdString();
}
