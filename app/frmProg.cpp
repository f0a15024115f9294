#include "app/frmProg.h"

#include "app/LogView.h"
#include "app/PortNumber.h"
#include "app/SavedLog.h"
#include "app/WindowLayout.h"
#include "app/WindowWords.h"
#include "clock/QtTimers.h"
#include "platform/SystemJournal.h"
#include "serial/PortDiagnosis.h"
#include "serial/PortResolver.h"
#include "serial/QtSerialControl.h"
#include "session/Pacing.h"
#include "session/Protocol.h"
#include "session/RunEnd.h"
#include "settings/ModuleReg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
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
const QString LastFolderValue = QStringLiteral("LastFolder");
const QString RecordBytesValue = QStringLiteral("RecordBytes");

const FrontEndWords WindowWords{
    .chooseDevice = QStringLiteral("Right-click the port number to choose a device."),
    .tryAgain = QStringLiteral("press Connect again")};

// Where the file dialogs open: the folder of the last file chosen while it is there, else home.
QString lastFolder() {
    const auto stored =
        ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, LastFolderValue);
    if (stored && !stored->isEmpty() && QFileInfo(*stored).isDir())
        return *stored;
    return QDir::homePath();
}

// The file's SHA-256 as it is on disk now, in hex; "" when it cannot be read.
QString sha256Of(const QString &path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

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
    // The caption says what is true now: the countdown or the port it waits for once a run has
    // started, "Cancelled" after CANCEL, a failed restart when that is how the run ended.
    connect(session_.get(), &ProgrammingSession::runStarted, this, [this] {
        endShown_ = false;
        showWaitStatus();
    });
    connect(session_.get(), &ProgrammingSession::runEnded, this, [this](const RunSummary &run) {
        lastRun_ = run;
        if (run.cause == EndCause::Cancelled)
            view_->showStatus(cancelledStatus());
        else if (run.cause == EndCause::NoBootPrompt)
            view_->showStatus(QString::fromLatin1(RunEnd::NoBootPromptText));
        endShown_ = runEnd(run.cause).stage.has_value() || run.cause == EndCause::NoBootPrompt;
    });
    connect(session_.get(), &ProgrammingSession::startRefused, this, [this] { endShown_ = true; });
    connect(session_.get(), &ProgrammingSession::runEnded, this, &frmProg::recordRun);
    connect(&link_, &SerialLink::portLost, this, &frmProg::onPortLost);
    connect(&link_, &SerialLink::portAway, this, [this] {
        const QString device = link_.devicePath();
        view_->note(portAwayNote(device, WindowWords, !advisedStableName_.contains(device),
                                 session_->awayBeforeFirstLine()));
        advisedStableName_.insert(device);
        // A board restarting after its verdict takes its port along: the verdict stays.
        if (session_->running() || !endShown_)
            view_->showStatus(portAwayStatus());
    });
    connect(&link_, &SerialLink::portBack, this, [this] {
        noteAdapter();
        view_->note(portBackNote(link_.devicePath()));
        if (session_->running())
            showWaitStatus();
        else if (!endShown_)
            view_->showStatus(QStringLiteral("Connect: True"));
        noticeDue_ = true;
        noteNoticeWhenFree();
    });
    connect(controls_.txtbuffer, &LogView::saveRequested, this, &frmProg::saveLog);
    // The start button is disabled through the countdown: Escape is the keyboard's CANCEL there.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] {
        if (session_->state() == SessionState::WaitBootPrompt)
            session_->cancel();
    });
    // A file dropped on a text box is the window's to choose, not text to insert.
    setAcceptDrops(true);
    for (QWidget *child : findChildren<QWidget *>())
        if (child->acceptDrops())
            child->installEventFilter(this);
    connect(session_.get(), &ProgrammingSession::stateChanged, this, &frmProg::noteNoticeWhenFree);
    connectControls();
    Form_Load();
}

void frmProg::recordRun(const RunSummary &run) {
    const RunOrigin origin{.program = QStringLiteral("tarnix-pellora"),
                           .version = QStringLiteral(PELLORA_VERSION),
                           .device = link_.devicePath(),
                           .portNumber = link_.PortNumber(),
                           .exitCode = std::nullopt,
                           .board = std::nullopt,
                           .serial = {},
                           .serialAddress = {},
                           .adapter = adapter_};
    notification_.runEnded(run.cause, QFileInfo(run.file).fileName(), run.note);
    const QJsonObject line = historyLine(run, origin);
    history_.append(line);
    if (const QString warning = history_.takeWarning(); !warning.isEmpty())
        view_->appendNote(QStringLiteral("The run history cannot be written: %1").arg(warning));
    // The same run for a fleet's collector, unless the settings file turns it off.
    if (ModuleReg::ReadSettingSwitch(QStringLiteral("History"), QStringLiteral("Journal"), true)) {
        journal_.record(line);
        if (const QString warning = journal_.takeWarning(); !warning.isEmpty())
            view_->appendNote(QStringLiteral("The system journal takes no entry: %1").arg(warning));
    }
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
    applyFinalWait();
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
    prepareStart();
    session_->pressStart();
}

void frmProg::prepareStart() {
    if (session_->running())
        return; // the press is CANCEL
    if (!link_.PortOpen()) {
        const double wanted = std::nearbyint(leadingNumber(controls_.txtComPort->text()));
        QString where;
        if (wanted >= MinPortNumber && wanted <= MaxPortNumber) {
            const int number = static_cast<int>(wanted);
            const ResolvedPort port = resolvePortDevice(number);
            where = port.ok() ? QStringLiteral(" (port %1 opens %2)").arg(number).arg(port.device)
                              : QStringLiteral(" (port %1: %2)").arg(number).arg(port.problem);
        }
        return view_->note(QStringLiteral("Not connected: press Connect first") + where);
    }
    // Named at Connect already, but a reader started since would take the board's prompt unseen.
    if (!link_.away())
        if (const QString others = link_.otherReadersNote(); !others.isEmpty())
            view_->note(others);

    firmware::ConversionOptions conversion;
    const auto stored =
        ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RecordBytesValue);
    if (stored && !stored->trimmed().isEmpty()) {
        bool ok = false;
        const int bytes = stored->trimmed().toInt(&ok);
        if (ok && bytes >= firmware::Encoding::MinRecordBytes &&
            bytes <= firmware::Encoding::MaxRecordBytes) {
            conversion.recordBytes = bytes;
        } else {
            const QString text =
                QStringLiteral("%1: RecordBytes=%2 is not a number of data bytes from %3 to %4: "
                               "converted files get %5 a record")
                    .arg(ModuleReg::settingsFile(), *stored)
                    .arg(firmware::Encoding::MinRecordBytes)
                    .arg(firmware::Encoding::MaxRecordBytes)
                    .arg(firmware::Encoding::DefaultRecordBytes);
            if (!namedSettingsLines_.contains(text)) {
                namedSettingsLines_.insert(text);
                view_->note(text);
            }
        }
    }
    session_->setConversion(conversion);
}

void frmProg::showWaitStatus() {
    view_->showStatus(link_.away() ? portAwayStatus() : waitingRestartStatus());
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
        endShown_ = false;
    };

    if (!link_.PortOpen()) {
        // The file may have been edited since the last look: a line it cannot read is named once.
        noteUnreadableSettings();
        if (const SerialStatus opened = link_.connectPort(portToOpen_); !opened) {
            trap(opened.description());
            return noteOpenFailure(opened);
        }
        Connected = true;
        noteAdapter();
        applyFinalWait();
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
    endShown_ = false;
}

void frmProg::noteAdapter() {
    if (auto adapter = adapterIdentity(link_.devicePath()))
        adapter_ = std::move(adapter);
}

void frmProg::applyFinalWait() {
    QString problem;
    const auto seconds =
        ModuleReg::ReadGeneralNumber(QStringLiteral("FinalWait"), 1, 3600, &problem);
    session_->setFinalWait(seconds.value_or(ProgrammingRun::ProgrammedWaitMs / 1000));
    if (!problem.isEmpty() && !namedSettingsLines_.contains(problem)) {
        namedSettingsLines_.insert(problem);
        view_->note(QStringLiteral("%1: the final wait is %2 s")
                        .arg(problem)
                        .arg(ProgrammingRun::ProgrammedWaitMs / 1000));
    }
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
    endShown_ = false;
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
    QFileDialog dialog(parent, QStringLiteral("Open FLASH or EEPROM file"), lastFolder());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(firmwareFileFilters());
    // ".SREC" and ".Hex" are firmware files too.
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return QDir::toNativeSeparators(QFileInfo(dialog.selectedFiles().first()).absoluteFilePath());
}

void frmProg::btnopenFile_Click() {
    const QString path = chooseFile_(this);
    if (!path.isEmpty())
        takeFile(path);
}

void frmProg::takeFile(const QString &path) {
    controls_.lblFilename->setText(path);
    controls_.lblFilename->setToolTip(path);
    session_->chooseFile(path);
    ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, LastFolderValue,
                              QFileInfo(path).absolutePath());
}

bool frmProg::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::DragEnter &&
        static_cast<QDragEnterEvent *>(event)->mimeData()->hasUrls()) {
        event->ignore(); // on to the window
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void frmProg::dragEnterEvent(QDragEnterEvent *event) {
    // Nothing is taken during a run: the pointer says so before the drop.
    if (event->mimeData()->hasUrls() && !session_->running())
        event->acceptProposedAction();
}

void frmProg::dropEvent(QDropEvent *event) {
    if (!event->mimeData()->hasUrls())
        return;
    event->acceptProposedAction();
    takeDropped(event->mimeData()->urls());
}

void frmProg::takeDropped(const QList<QUrl> &urls) {
    if (session_->running())
        return view_->note(QStringLiteral("A run is on: the dropped file is not taken"));
    if (urls.size() != 1)
        return view_->note(
            QStringLiteral("%1 files were dropped: drop one firmware file").arg(urls.size()));
    const QUrl &url = urls.first();
    if (!url.isLocalFile())
        return view_->note(QStringLiteral("%1 is not a file on this computer: save it here first, "
                                          "then drop or browse it")
                               .arg(url.toDisplayString()));
    const QFileInfo info(url.toLocalFile());
    if (info.isDir())
        return view_->note(
            QStringLiteral("%1 is a folder: drop a firmware file").arg(info.absoluteFilePath()));
    if (!info.isFile())
        return view_->note(QStringLiteral("%1 is not a file").arg(info.absoluteFilePath()));
    takeFile(QDir::toNativeSeparators(info.absoluteFilePath()));
}

// ---- The log kept ----

QString frmProg::chooseSavePathWithDialog(QWidget *parent, const QString &suggested) {
    QFileDialog dialog(parent, QStringLiteral("Save log"), QFileInfo(suggested).absolutePath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(
        {QStringLiteral("Log files (*.log *.txt)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("log"));
    dialog.selectFile(QFileInfo(suggested).fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

void frmProg::saveLog() {
    const QString suggested =
        QDir(lastFolder())
            .filePath(
                QStringLiteral("tarnix-pellora-%1.log")
                    .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    const QString path = chooseSavePath_(this, suggested);
    if (path.isEmpty())
        return;
    SavedLogHeader header{.saved = QDateTime::currentDateTime(),
                          .version = QStringLiteral(PELLORA_VERSION),
                          .portNumber = link_.PortNumber(),
                          .device = link_.devicePath(),
                          .connected = link_.PortOpen(),
                          .file = session_->selectedFile(),
                          .fileSha256 = {},
                          .lastRun = lastRun_};
    // The last run's file as it sent it; else the chosen file as it is now.
    if (lastRun_ && lastRun_->facts) {
        header.file = lastRun_->file;
        header.fileSha256 = QString::fromLatin1(lastRun_->facts->sha256.toHex());
    } else if (!header.file.isEmpty()) {
        header.fileSha256 = sha256Of(header.file);
    }
    const QString error = writeTextFile(path, savedLogText(header, log().text()));
    if (!error.isEmpty())
        view_->note(QStringLiteral("The log cannot be saved to %1: %2. Nothing is lost from the "
                                   "log: save it somewhere else.")
                        .arg(path, error));
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
