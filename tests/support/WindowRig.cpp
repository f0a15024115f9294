#include "WindowRig.h"

#include "SRecordWriter.h"
#include "SettingsFile.h"
#include "Wait.h"
#include "app/LogView.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

void expectErrorCaption(const QString &caption, const QString &description) {
    const QString prefix = QStringLiteral("Tarnix Pellora, Connect:   Error ");
    ASSERT_TRUE(caption.startsWith(prefix)) << caption.toStdString();
    ASSERT_TRUE(caption.endsWith(description)) << caption.toStdString();
    const QString time =
        caption.mid(prefix.size(), caption.size() - prefix.size() - description.size());
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}( ?[AaPp]\\.?[Mm]\\.?)?$"))
            .match(time)
            .hasMatch())
        << time.toStdString();
}

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

void WindowRig::mapPort(const QString &device) {
    removeSettings();
    ::mapPort(Port, device);
    // The tests' runs stay out of the host's journal.
    storeSetting(QStringLiteral("History/Journal"), QStringLiteral("false"));
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

QByteArray WindowRig::srec(const QByteArray &data, int perRecord) {
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits32;
    options.bytesPerRecord = perRecord;
    return SRecordWriter::file(data, 0x08000000, options);
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
    expectProgrammed(randomData(1024, static_cast<quint32>(seed)),
                     QStringLiteral("afterwards-%1.srec").arg(seed));
}

void WindowRig::expectProgrammed(const QByteArray &data, const QString &name) {
    choose(writeFile(srec(data), name));
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
