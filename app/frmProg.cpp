#include "app/frmProg.h"

#include "app/LogView.h"
#include "app/PortNumber.h"
#include "app/WindowLayout.h"
#include "app/WindowWords.h"
#include "clock/QtTimers.h"
#include "serial/PortDiagnosis.h"
#include "serial/QtSerialControl.h"
#include "session/Pacing.h"
#include "session/Protocol.h"
#include "settings/ModuleReg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>
#include <algorithm>
#include <cmath>
#include <limits>

static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

const QString Title = QString::fromLatin1(WindowLayout::Title);
const QString RegPath = QString::fromLatin1(ModuleReg::SettingsPath);
const QString RegValue = QString::fromLatin1(ModuleReg::ComPortValue);

const FrontEndWords WindowWords{
    .chooseDevice = QStringLiteral("Right-click the port number to choose a device."),
    .tryAgain = QStringLiteral("press Connect again")};

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addFile(QStringLiteral(":/icons/tarnix-pellora-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

frmProg::frmProg(std::unique_ptr<SerialControl> control, std::unique_ptr<TimerFactory> timers,
                 QWidget *parent)
    : QWidget(parent), timers_(timers ? std::move(timers) : std::make_unique<QtTimerFactory>()),
      control_(control ? std::move(control) : std::make_unique<QtSerialControl>(*timers_)),
      link_(*control_, *timers_) {
    initResources();
    setWindowTitle(Title);
    setWindowIcon(applicationIcon());
    setFixedSize(WindowLayout::ClientWidth, WindowLayout::ClientHeight);
    controls_ = buildControls(*this);
    view_ =
        std::make_unique<WindowView>(*this, *controls_.btnFlash, *controls_.txtbuffer, *timers_);
    portBox_ = new PortBox(
        *controls_.txtComPort, [this](const QString &text) { view_->appendNote(text); }, this);
    session_ = std::make_unique<ProgrammingSession>(link_, *timers_, *view_);
    connect(session_.get(), &ProgrammingSession::runEnded, this, &frmProg::recordRun);
    connect(&link_, &SerialLink::portLost, this, &frmProg::onPortLost);
    connect(&link_, &SerialLink::portAway, this, [this] {
        const QString device = link_.devicePath();
        view_->note(portAwayNote(device, WindowWords, !advisedStableName_.contains(device)));
        advisedStableName_.insert(device);
    });
    connect(&link_, &SerialLink::portBack, this, [this] {
        view_->note(portBackNote(link_.devicePath()));
        noticeDue_ = true;
        noteNoticeWhenFree();
    });
    connect(session_.get(), &ProgrammingSession::stateChanged, this, &frmProg::noteNoticeWhenFree);
    connectControls();
    Form_Load();
}

void frmProg::recordRun(const RunSummary &run) {
    const RunOrigin origin{.program = QStringLiteral("tarnix-pellora"),
                           .version = QStringLiteral(PELLORA_VERSION),
                           .device = link_.devicePath(),
                           .portNumber = link_.PortNumber(),
                           .exitCode = std::nullopt};
    notification_.runEnded(run.cause, QFileInfo(run.file).fileName(), run.note);
    history_.append(historyLine(run, origin));
    if (const QString warning = history_.takeWarning(); !warning.isEmpty())
        view_->appendNote(QStringLiteral("The run history cannot be written: %1").arg(warning));
}

frmProg::~frmProg() {
    if (!shutDown_)
        Form_QueryUnload();
    // The session talks to the controls; it goes first. The speed list, losing the focus as it
    // is destroyed, would still push its choice to it.
    controls_.Combospeed->disconnect(this);
    session_.reset();
}

void frmProg::connectControls() {
    const WindowControls &c = controls_;
    connect(c.btnCon, &QPushButton::clicked, this, &frmProg::btnCon_Click);
    connect(c.btnFlash, &QPushButton::clicked, this, &frmProg::btnFlash_Click);
    connect(c.btnopenFile, &QPushButton::clicked, this, &frmProg::btnopenFile_Click);
    connect(c.Command1, &QPushButton::clicked, this, &frmProg::Command1_Click);
    connect(c.Command2, &QPushButton::clicked, this, &frmProg::Command2_Click);
    connect(c.Command3, &QPushButton::clicked, this, &frmProg::Command3_Click);
    connect(c.Command4, &QPushButton::clicked, this, &frmProg::Command4_Click);
    connect(c.Command5, &QPushButton::clicked, this, &frmProg::Command5_Click);
}

// ---- Start-up and shut-down ----

void frmProg::Form_Load() {
    controls_.lblFilename->setText(session_->selectedFile());
    controls_.Combospeed->addItems(speedListItems());
    controls_.Combospeed->setCurrentIndex(2);
    // The streamer takes the speed from its next line on; the list's text edited by hand counts
    // too.
    const auto pushPacing = [this] { session_->setPacing(Pacing::fromSpeedIndex(speedIndex())); };
    connect(controls_.Combospeed, &QComboBox::currentIndexChanged, this, pushPacing);
    connect(controls_.Combospeed, &QComboBox::editTextChanged, this, pushPacing);
    pushPacing();

    const auto stored = ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RegValue);
    controls_.txtComPort->setText(stored.value_or(QString()));
    if (leadingNumber(controls_.txtComPort->text()) == 0) {
        controls_.txtComPort->setText(QStringLiteral("2"));
        ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RegValue,
                                  numberText(leadingNumber(controls_.txtComPort->text())));
    }
    noteUnreadableSettings();
    ModuleUsbNotification::RegisterUsbNotification(this);
}

void frmProg::Form_QueryUnload() {
    if (shutDown_)
        return;
    shutDown_ = true;
    view_->windowClosed();
    // A run stops before its port closes under it; the port is closed before the hook goes.
    session_->abort();
    (void)link_.disconnectPort();
    ModuleUsbNotification::UnregisterUsbNotification(this, ModuleUsbNotification::NotifyHandle);
}

void frmProg::closeEvent(QCloseEvent *event) {
    Form_QueryUnload();
    event->accept();
}

// ---- Serial connection ----

void frmProg::btnCon_Click() {
    if (PortOpen())
        TogglePort();
    else
        SetupPort();
    session_->connectionChanged();
}

void frmProg::btnFlash_Click() {
    session_->pressStart();
}

void frmProg::SetupPort() {
    // The leading number, rounded half to even; one the serial layer cannot take fails the open
    // with the caption alone.
    const double wanted = std::nearbyint(leadingNumber(controls_.txtComPort->text()));
    portToOpen_ = static_cast<int>(std::clamp<double>(wanted, std::numeric_limits<int>::min(),
                                                      std::numeric_limits<int>::max()));
    TogglePort();
}

void frmProg::TogglePort() {
    const auto trap = [this](const QString &description) {
        Connected = false;
        view_->showStatus(QStringLiteral("Connect:   Error ") + captionTime(QTime::currentTime()) +
                          description);
    };

    if (!link_.PortOpen()) {
        // The file may have been edited since the last look: a line it cannot read is named once.
        noteUnreadableSettings();
        if (const SerialStatus opened = link_.connectPort(portToOpen_); !opened) {
            trap(opened.description());
            return noteOpenFailure(opened);
        }
        Connected = true;
        controls_.btnCon->setText(QStringLiteral("Disconnect"));
        ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RegValue,
                                  numberText(leadingNumber(controls_.txtComPort->text())));
        if (const QString notice = link_.takeNotice(); !notice.isEmpty())
            view_->note(notice);
    } else {
        Connected = false;
        if (const SerialStatus closed = link_.disconnectPort(); !closed)
            return trap(closed.description());
        controls_.btnCon->setText(QStringLiteral("Connect"));
    }
    view_->showStatus(Connected ? QStringLiteral("Connect: True")
                                : QStringLiteral("Connect: False"));
}

void frmProg::noteNoticeWhenFree() {
    // Looking for other programs on the port takes a moment (all of /proc): not while a board just
    // plugged in is being probed, whose bootloader may listen only briefly.
    if (!noticeDue_ || session_->state() == SessionState::WaitBootPrompt)
        return;
    noticeDue_ = false;
    if (const QString notice = link_.takeNotice(); !notice.isEmpty())
        view_->note(notice);
}

void frmProg::onPortLost(const SerialStatus &failure) {
    // A followed port that came back refusing: why, and what to do.
    if (!failure.ok())
        noteOpenFailure(failure);
    // The adapter went away: shown as a disconnect, so that the next press connects again.
    Connected = false;
    controls_.btnCon->setText(QStringLiteral("Connect"));
    view_->showStatus(QStringLiteral("Connect: False"));
}

void frmProg::noteOpenFailure(const SerialStatus &failure) {
    // Only a device that is not there is helped by naming the others; listing them may open nodes.
    const QList<SerialDevice> present =
        failure.kind() == PortFailure::NotFound ? portBox_->devices() : QList<SerialDevice>();
    const QString text =
        openFailureNote(failure, link_.PortNumber(), link_.devicePath(), WindowWords, present);
    if (!text.isEmpty())
        view_->note(text);
}

void frmProg::noteUnreadableSettings() {
    for (const ModuleReg::UnreadableLine &line : ModuleReg::unreadableLines()) {
        const QString text = line.describe();
        if (!namedSettingsLines_.contains(text)) {
            namedSettingsLines_.insert(text);
            view_->note(text);
        }
    }
}

void frmProg::SendPacket(quint8 cmd, const QVariant &data) {
    if (link_.PortError() || !link_.PortOpen())
        return;
    // A packet that cannot be framed whole is not started: half a frame would confuse the device.
    if (const auto frame = Protocol::framePacket(cmd, data))
        (void)link_.Output(*frame);
}

// ---- File choice ----

QString frmProg::chooseFileWithDialog(QWidget *parent) {
    static QString lastFolder;
    QFileDialog dialog(parent, QStringLiteral("Open FLASH or EEPROM file"), lastFolder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("All Files (*.srec)"));
    // ".SREC" and ".Srec" are S-record files too.
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString path =
        QDir::toNativeSeparators(QFileInfo(dialog.selectedFiles().first()).absoluteFilePath());
    lastFolder = QFileInfo(path).absolutePath();
    return path;
}

void frmProg::btnopenFile_Click() {
    const QString path = chooseFile_(this);
    if (path.isEmpty())
        return;
    controls_.lblFilename->setText(path);
    controls_.lblFilename->setToolTip(path);
    session_->chooseFile(path);
}

// ---- Operator commands ----

void frmProg::Command1_Click() {
    Send(Protocol::FileCommand, false);
}
void frmProg::Command2_Click() {
    Send(Protocol::GoCommand, false);
}

void frmProg::Command3_Click() {
    session_->sendFileByHand();
}

void frmProg::Command4_Click() {
    controls_.txtbuffer->clearLog();
}

QString frmProg::userGuide() {
    return userGuideText();
}

void frmProg::Command5_Click() {
    view_->showBox(
        new QMessageBox(QMessageBox::Information, Title, userGuide(), QMessageBox::Ok, this));
}

int frmProg::speedIndex() const {
    return controls_.Combospeed->findText(controls_.Combospeed->currentText(),
                                          Qt::MatchExactly | Qt::MatchCaseSensitive);
}
