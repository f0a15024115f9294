#include "WindowRig.h"

#include "SRecordWriter.h"
#include "Wait.h"
#include "app/LogView.h"
#include "settings/ModuleReg.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>

const QString WindowRig::Programmed = QStringLiteral("Tarnix Pellora, PROGRAMMED");
const QString WindowRig::Failed = QStringLiteral("Tarnix Pellora, Programming FAILLED");

void WindowRig::SetUp() {
    ASSERT_TRUE(dir.isValid());
    mapPort(linkPath());
}

void WindowRig::TearDown() {
    window.reset();
    if (sim)
        sim->stop();
}

QString WindowRig::settingsFile() {
    return ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE,
                                      QString::fromLatin1(ModuleReg::SettingsPath));
}

void WindowRig::mapPort(const QString &device) {
    const QString file = settingsFile();
    QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (QFileInfo(file).isDir())
        QDir(file).removeRecursively();
    QFile::remove(file);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSettings ini(file, QSettings::IniFormat);
    ini.setValue(QStringLiteral("Ports/COM%1").arg(Port), device);
    ini.sync();
}

void WindowRig::startDevice(QStringList arguments) {
    if (!arguments.contains(QStringLiteral("--boot-delay")))
        arguments << QStringLiteral("--boot-delay") << QStringLiteral("50");
    arguments << QStringLiteral("--verbose") << QStringLiteral("--link") << linkPath();
    sim = std::make_unique<SimProcess>();
    ASSERT_TRUE(sim->start(arguments)) << sim->errorString().toStdString();
}

void WindowRig::newWindow() {
    results.clear();
    window = std::make_unique<frmProg>();
    QObject::connect(&window->session(), &ProgrammingSession::runEnded,
                     [this](const RunSummary &run) { results << run.result; });
    window->show();
    window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->setText(QString::number(Port));
}

void WindowRig::openWindow() {
    newWindow();
    button("btnCon")->click();
    ASSERT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
}

void WindowRig::replaceDevice(const QStringList &arguments) {
    if (window->PortOpen())
        button("btnCon")->click();
    if (sim) {
        expectNoBadLines();
        sim->stop();
    }
    ASSERT_NO_FATAL_FAILURE(startDevice(arguments));
    button("btnCon")->click();
    ASSERT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));
}

QPushButton *WindowRig::button(const char *name) const {
    return window->findChild<QPushButton *>(QString::fromLatin1(name));
}

QString WindowRig::caption() const {
    return window->windowTitle();
}

QString WindowRig::logText() const {
    return window->log().text();
}

void WindowRig::choose(const QString &path, int speedIndex) {
    window->setFileChooser([path](QWidget *) { return path; });
    button("btnopenFile")->click();
    window->findChild<QComboBox *>(QStringLiteral("Combospeed"))->setCurrentIndex(speedIndex);
}

QString WindowRig::writeFile(const QByteArray &content, const QString &name) {
    QFile file(dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    return file.fileName();
}

QByteArray WindowRig::srec(const QByteArray &data, int perRecord) {
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits32;
    options.bytesPerRecord = perRecord;
    return SRecordWriter::file(data, 0x08000000, options);
}

QByteArray WindowRig::randomData(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(random.bounded(256));
    return data;
}

QString WindowRig::run(int timeoutMs) {
    EXPECT_TRUE(button("btnFlash")->isEnabled());
    // The caption may still show the end of the previous run: wait for this run's end.
    QString ended;
    const auto watch =
        QObject::connect(window.get(), &QWidget::windowTitleChanged, [&](const QString &title) {
            if (title == Programmed || title == Failed)
                ended = title;
        });
    button("btnFlash")->click();
    waitUntil([&] { return !ended.isEmpty(); }, timeoutMs);
    QObject::disconnect(watch);
    return ended.isEmpty() ? caption() : ended;
}

QList<QMessageBox *> WindowRig::boxes(const QString &prefix) {
    QList<QMessageBox *> found;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w);
            box && box->isVisible() && box->text().startsWith(prefix))
            found << box;
    return found;
}

void WindowRig::dismissBoxes() {
    for (QMessageBox *box : boxes())
        box->button(QMessageBox::Ok)->click();
    QApplication::processEvents();
}

void WindowRig::programAfterwards(int seed) {
    dismissBoxes();
    if (!window->PortOpen())
        button("btnCon")->click();
    ASSERT_TRUE(window->PortOpen()) << caption().toStdString();
    const QByteArray data = randomData(1024, static_cast<quint32>(seed));
    choose(writeFile(srec(data), QStringLiteral("afterwards-%1.srec").arg(seed)));
    const int runs = sim->completedRuns();
    ASSERT_EQ(run(), Programmed) << sim->log().toStdString();
    ASSERT_TRUE(sim->waitForRuns(runs + 1));
    EXPECT_EQ(sim->image(), data) << "the device holds the image\n" << sim->log().toStdString();
    expectNoBadLines();
}

void WindowRig::expectNoBadLines() {
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->badLines(), 0) << sim->log().toStdString();
}
