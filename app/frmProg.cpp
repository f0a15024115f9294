#include "app/frmProg.h"

#include "app/LogView.h"
#include "app/PortMenu.h"
#include "app/PortNumber.h"
#include "app/WindowLayout.h"
#include "platform/QtTimers.h"
#include "serial/PortDiagnosis.h"
#include "serial/PortResolver.h"
#include "serial/QtSerialControl.h"
#include "session/Pacing.h"
#include "session/Protocol.h"
#include "settings/ModuleReg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTime>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace {

const QString Title = QString::fromLatin1(WindowLayout::Title);
const QString RegPath = QString::fromLatin1(ModuleReg::SettingsPath);
const QString RegValue = QString::fromLatin1(ModuleReg::ComPortValue);
const QString DotTimeoutText = QStringLiteral("Error: DOT Timeout");

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

QString progressText(double percent) {
    return QStringLiteral("progress: ") +
           QLocale().toString(percent, 'g', QLocale::FloatingPointShortest) + QLatin1Char('%');
}

QStringList speedListItems() {
    return {QStringLiteral("20  - fastest"), QStringLiteral("40"),
            QStringLiteral("60  - normal"),  QStringLiteral("80"),
            QStringLiteral("100 - slowest"), QStringLiteral("Auto - fast")};
}

QString captionTime(const QTime &time) {
    // The long form carries the seconds; drop its time-zone field (unquoted 't') and what separates
    // it.
    const QString format = QLocale().timeFormat(QLocale::LongFormat);
    QString withoutZone;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        withoutZone.append(c);
    }
    return QLocale().toString(time, withoutZone.trimmed());
}

frmProg::frmProg(std::unique_ptr<SerialControl> control, std::unique_ptr<TimerFactory> timers,
                 QWidget *parent)
    : QWidget(parent), control_(control ? std::move(control) : std::make_unique<QtSerialControl>()),
      timers_(timers ? std::move(timers) : std::make_unique<QtTimerFactory>()), link_(*control_) {
    session_ = std::make_unique<ProgrammingSession>(link_, *timers_, *this);
    // Only well-formed S-records reach the device: binary, cut or half-written files are refused.
    session_->setCheckRecords(true);
    connect(session_.get(), &ProgrammingSession::runEnded, this, &frmProg::recordRun);
    buildControls();
    connect(control_.get(), &SerialControl::portLost, this, &frmProg::onPortLost);
    Form_Load();
}

void frmProg::recordRun(const RunSummary &run) {
    const RunOrigin origin{.program = QStringLiteral("tarnix-pellora"),
                           .version = QStringLiteral(PELLORA_VERSION),
                           .device = control_->devicePath(),
                           .portNumber = link_.PortNumber(),
                           .exitCode = std::nullopt};
    notification_.runEnded(run.result, QFileInfo(run.file).fileName(),
                           run.result == RunResult::AckTimeout ? DotTimeoutText : run.note);
    history_.append(historyLine(run, origin));
    if (const QString warning = history_.takeWarning(); !warning.isEmpty() && txtbuffer_)
        appendNote(QStringLiteral("\r\nThe run history cannot be written: %1").arg(warning));
}

frmProg::~frmProg() {
    if (!shutDown_)
        Form_QueryUnload();
    // The session talks to the controls; it goes first. The speed list, losing the focus as it
    // is destroyed, would still push its choice to it.
    Combospeed_->disconnect(this);
    session_.reset();
}

void frmProg::buildControls() {
    initResources();
    setWindowTitle(Title);
    setWindowIcon(applicationIcon());
    setFixedSize(WindowLayout::ClientWidth, WindowLayout::ClientHeight);

    std::map<QString, QWidget *> byName;
    std::vector<std::pair<int, QWidget *>> tabOrder;
    for (const WindowLayout::Control &spec : WindowLayout::controls()) {
        QWidget *container = spec.container ? byName.at(QString::fromLatin1(spec.container)) : this;
        const QString caption = QString::fromLatin1(spec.caption);
        QWidget *widget = nullptr;
        switch (spec.kind) {
        case WindowLayout::Kind::Frame:
            widget = new QGroupBox(caption, container);
            break;
        case WindowLayout::Kind::LineEdit:
            widget = new QLineEdit(caption, container);
            break;
        case WindowLayout::Kind::LogBox:
            widget = new LogView(container);
            break;
        case WindowLayout::Kind::Label:
            widget = new QLabel(caption, container);
            break;
        case WindowLayout::Kind::Button: {
            auto *button = new QPushButton(caption, container);
            // Return and Enter press a focused button, as Space does.
            button->setAutoDefault(true);
            widget = button;
            break;
        }
        case WindowLayout::Kind::ComboBox: {
            auto *combo = new QComboBox(container);
            combo->setEditable(true);
            // Enter must not add the typed text to the list, and "1" must stay "1" (no pause)
            // rather than be completed to "100 - slowest".
            combo->setInsertPolicy(QComboBox::NoInsert);
            combo->setCompleter(nullptr);
            combo->setEditText(caption);
            widget = combo;
            break;
        }
        }
        widget->setObjectName(QString::fromLatin1(spec.name));
        widget->setGeometry(spec.geometry);
        if (spec.toolTip)
            widget->setToolTip(QString::fromLatin1(spec.toolTip));
        widget->setEnabled(spec.enabled);
        widget->setVisible(spec.visible);
        byName[widget->objectName()] = widget;
        if (widget->focusPolicy() != Qt::NoFocus)
            tabOrder.emplace_back(spec.tabIndex, widget);
    }
    std::sort(tabOrder.begin(), tabOrder.end(), [](auto &a, auto &b) { return a.first < b.first; });
    for (std::size_t i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);

    const auto find = [this](const char *name) {
        return findChild<QWidget *>(QString::fromLatin1(name));
    };
    Frame9_ = static_cast<QGroupBox *>(find("Frame9"));
    txtRefresh_ = static_cast<QLineEdit *>(find("txtRefresh"));
    txtSpeed_ = static_cast<QLineEdit *>(find("txtSpeed"));
    txtComPort_ = static_cast<QLineEdit *>(find("txtComPort"));
    btnCon_ = static_cast<QPushButton *>(find("btnCon"));
    txtbuffer_ = static_cast<LogView *>(find("txtbuffer"));
    lblFilename_ = static_cast<QLabel *>(find("lblFilename"));
    btnopenFile_ = static_cast<QPushButton *>(find("btnopenFile"));
    btnFlash_ = static_cast<QPushButton *>(find("btnFlash"));
    Command1_ = static_cast<QPushButton *>(find("Command1"));
    Command2_ = static_cast<QPushButton *>(find("Command2"));
    Command3_ = static_cast<QPushButton *>(find("Command3"));
    Command4_ = static_cast<QPushButton *>(find("Command4"));
    Combospeed_ = static_cast<QComboBox *>(find("Combospeed"));
    Label1_ = static_cast<QLabel *>(find("Label1"));
    Command5_ = static_cast<QPushButton *>(find("Command5"));
    Label1_->setBuddy(Combospeed_);
    txtSpeed_->setFocus();

    // Right-click and the menu key both arrive here.
    txtComPort_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(txtComPort_, &QWidget::customContextMenuRequested, this, &frmProg::showPortMenu);
    connect(btnCon_, &QPushButton::clicked, this, &frmProg::btnCon_Click);
    connect(btnFlash_, &QPushButton::clicked, this, &frmProg::btnFlash_Click);
    connect(btnopenFile_, &QPushButton::clicked, this, &frmProg::btnopenFile_Click);
    connect(Command1_, &QPushButton::clicked, this, &frmProg::Command1_Click);
    connect(Command2_, &QPushButton::clicked, this, &frmProg::Command2_Click);
    connect(Command3_, &QPushButton::clicked, this, &frmProg::Command3_Click);
    connect(Command4_, &QPushButton::clicked, this, &frmProg::Command4_Click);
    connect(Command5_, &QPushButton::clicked, this, &frmProg::Command5_Click);
}

// ---- Start-up and shut-down ----

void frmProg::Form_Load() {
    lblFilename_->setText(session_->selectedFile());
    Combospeed_->addItems(speedListItems());
    Combospeed_->setCurrentIndex(2);
    // The streamer takes the speed from its next line on; the list's text edited by hand counts
    // too.
    const auto pushPacing = [this] { session_->setPacing(Pacing::fromSpeedIndex(speedIndex())); };
    connect(Combospeed_, &QComboBox::currentIndexChanged, this, pushPacing);
    connect(Combospeed_, &QComboBox::editTextChanged, this, pushPacing);
    pushPacing();

    const auto stored = ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RegValue);
    txtComPort_->setText(stored.value_or(QString()));
    if (leadingNumber(txtComPort_->text()) == 0) {
        txtComPort_->setText(QStringLiteral("2"));
        ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RegValue,
                                  numberText(leadingNumber(txtComPort_->text())));
    }
    noteUnreadableSettings();
    ModuleUsbNotification::RegisterUsbNotification(this);
}

void frmProg::Form_QueryUnload() {
    if (shutDown_)
        return;
    shutDown_ = true;
    // A run stops before its port closes under it; the port is closed before the hook goes.
    session_->abort();
    (void)link_.disconnect();
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
    // A press while a run is on cancels it; with the port closed or no file it only disables the
    // button (and ends what may be left).
    if (session_->running() && session_->canStart())
        session_->cancel();
    else
        session_->start();
}

void frmProg::SetupPort() {
    // The leading number, rounded half to even; one the serial layer cannot take fails the open
    // with the caption alone.
    const double wanted = std::nearbyint(leadingNumber(txtComPort_->text()));
    portToOpen_ = static_cast<int>(std::clamp<double>(wanted, std::numeric_limits<int>::min(),
                                                      std::numeric_limits<int>::max()));
    TogglePort();
}

void frmProg::TogglePort() {
    const auto trap = [this](const QString &description) {
        Connected = false;
        setWindowTitle(Title + QStringLiteral(", Connect: ") + QStringLiteral("  Error ") +
                       captionTime(QTime::currentTime()) + description);
    };

    if (!link_.PortOpen()) {
        // The file may have been edited since the last look: a line it cannot read is named once.
        noteUnreadableSettings();
        if (const SerialStatus opened = link_.connect(portToOpen_); !opened) {
            trap(opened.description());
            return noteOpenFailure(opened);
        }
        Connected = true;
        btnCon_->setText(QStringLiteral("Disconnect"));
        ModuleReg::WriteRegString(ModuleReg::HKEY_LOCAL_MACHINE, RegPath, RegValue,
                                  numberText(leadingNumber(txtComPort_->text())));
        if (const QString notice = link_.takeNotice(); !notice.isEmpty())
            note(notice);
    } else {
        Connected = false;
        if (const SerialStatus closed = link_.disconnect(); !closed)
            return trap(closed.description());
        btnCon_->setText(QStringLiteral("Connect"));
    }
    setWindowTitle(Title + QStringLiteral(", Connect: ") +
                   (Connected ? QStringLiteral("True") : QStringLiteral("False")));
}

void frmProg::onPortLost() {
    // The adapter went away: shown as a disconnect, so that the next press connects again.
    Connected = false;
    btnCon_->setText(QStringLiteral("Connect"));
    setWindowTitle(Title + QStringLiteral(", Connect: False"));
}

void frmProg::note(const QString &text) {
    const bool empty = txtbuffer_->characterCount() == 0 && !txtbuffer_->hasPending();
    txtbuffer_->appendText(empty ? text : QStringLiteral("\r\n") + text);
}

void frmProg::noteOpenFailure(const SerialStatus &failure) {
    // Only a device that is not there is helped by naming the others; listing them may open nodes.
    const QList<SerialDevice> present =
        failure.kind() == PortFailure::NotFound ? listDevices_() : QList<SerialDevice>();
    const QString text =
        openFailureNote(failure, link_.PortNumber(), control_->devicePath(), WindowWords, present);
    if (!text.isEmpty())
        note(text);
}

void frmProg::noteUnreadableSettings() {
    for (const ModuleReg::UnreadableLine &line : ModuleReg::unreadableLines()) {
        const QString text = line.describe();
        if (!namedSettingsLines_.contains(text)) {
            namedSettingsLines_.insert(text);
            note(text);
        }
    }
}

// ---- The port box's device menu ----

QMenu *frmProg::createPortMenu() {
    auto *menu = new QMenu(this);
    const auto number = portNumberFromText(txtComPort_->text());
    const bool valid = number && *number >= MinPortNumber;
    addPortMenuEntries(*menu, listDevices_(), valid ? std::optional<int>(*number) : std::nullopt,
                       valid ? resolvePortDevice(*number).device : QString(),
                       [this](int n, const QString &path) { mapPort(n, path); });
    return menu;
}

void frmProg::showPortMenu(const QPoint &pos) {
    QMenu *menu = createPortMenu();
    // The box's own editing entries stay, below the devices.
    QMenu *editing = txtComPort_->createStandardContextMenu();
    menu->addSeparator();
    menu->addActions(editing->actions());
    connect(menu, &QObject::destroyed, editing, &QObject::deleteLater);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // No nested event loop: the session's timers and the port go on while the menu is open.
    menu->popup(txtComPort_->mapToGlobal(pos));
}

void frmProg::mapPort(int number, const QString &device) {
    if (ModuleReg::mapPortDevice(number, device))
        txtbuffer_->appendText(
            QStringLiteral("\r\nCOM%1 opens %2 from the next Connect.").arg(number).arg(device));
    else
        txtbuffer_->appendText(
            QStringLiteral("\r\nCOM%1 is unchanged: %2 cannot be written.")
                .arg(number)
                .arg(ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE, RegPath)));
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
    lblFilename_->setText(path);
    lblFilename_->setToolTip(path);
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
    txtbuffer_->clearLog();
}

QString frmProg::userGuide() {
    const QStringList lines = {
        QStringLiteral("Käyttöohje "),
        QStringLiteral("Valitse Com settings kohdasta oikea sarjaportin nopeus (57600) "),
        QStringLiteral("ja portin numero (yleensä 1-5). "),
        QStringLiteral("Paina Connect-nappia. Ruudun otsikkoon pitäisi ilmestyä "),
        QStringLiteral("Connect: true jos yhteys onnistui. "),
        QStringLiteral("Connect: Error/false tilanteessa tarkista nopeus, portti  ja kytkentä"),
        QStringLiteral("Paina browse-nappia. Etsi uusi ohjelmatiedosto (srec)."),
        QStringLiteral("paina START PROGRAMMING- nappia."),
        QStringLiteral("Kytke laitteen virrat pois päältä ja takaisin päälle minuutin sisällä."),
        QStringLiteral("Ohjelmointi alkaa.. Prosentit kasvavat ohjelmoinnin edetessä. "),
        QStringLiteral("Lopuksi ruutuun kuuluisi ilmestyä teksti: "),
        QStringLiteral("Programmed successfully! Restarting device...."),
        QStringLiteral(
            "Ohjelmointi on tällöin onnistunut. Varsinainen ohjelma käynnistyy samalla."),
        QStringLiteral("Muissa tapauksissa yritä ohjelmointia uudelleen."),
        QStringLiteral(
            "Speed-valikosta voidaan muutta ohjelmoinnin nopeutta. Hitain on aina varmin."),
    };
    return lines.join(QStringLiteral("\r\n"));
}

void frmProg::Command5_Click() {
    showBox(new QMessageBox(QMessageBox::Information, Title, userGuide(), QMessageBox::Ok, this));
}

// ---- The session's view ----

void frmProg::setCaption(const QString &status) {
    const QString caption = Title + QStringLiteral(", ") + status;
    if (windowTitle() != caption)
        setWindowTitle(caption);
}

void frmProg::showStage(Stage stage) {
    setCaption(toString(stage));
}
void frmProg::showProgress(double percent) {
    // Most lines leave the shown tenth of a percent as it is: no text is formatted for them.
    if (percent == shownPercent_ && windowTitle() == shownProgressCaption_)
        return;
    setCaption(progressText(percent));
    shownPercent_ = percent;
    shownProgressCaption_ = windowTitle();
}
void frmProg::showCountdown(int seconds) {
    btnFlash_->setText(QStringLiteral("Waiting restart: %1").arg(seconds));
}

void frmProg::showStartAction(StartAction action) {
    btnFlash_->setText(action == StartAction::Cancel ? QStringLiteral("CANCEL")
                                                     : QStringLiteral("START PROGRAMMING"));
}

void frmProg::setStartEnabled(bool enabled) {
    // Disabling a focused button hands the focus on ("Clear screen" would take the next Space).
    // The window holds it through the countdown instead, and gives it back to the button when it
    // is enabled again, as CANCEL: the key that started the run cancels it.
    if (!enabled && focusWidget() == btnFlash_) {
        setFocus(Qt::OtherFocusReason);
        startFocusHeld_ = true;
    }
    btnFlash_->setEnabled(enabled);
    if (enabled && std::exchange(startFocusHeld_, false) && focusWidget() == this)
        btnFlash_->setFocus(Qt::OtherFocusReason);
}
void frmProg::appendReceived(const QByteArray &bytes) {
    txtbuffer_->appendReceived(bytes);
}
void frmProg::appendNote(const QString &text) {
    txtbuffer_->appendText(text);
}
void frmProg::prependNote(const QString &text) {
    txtbuffer_->prependText(text);
}

void frmProg::showBox(QMessageBox *box) {
    // Shown without a nested event loop: the session's timers and the port go on meanwhile, and
    // closing the window with a box open is safe.
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->setWindowTitle(Title);
    if (shutDown_) {
        delete box;
        return;
    }
    box->open();
}

void frmProg::showDotTimeout() {
    showBox(new QMessageBox(QMessageBox::Critical, Title, DotTimeoutText, QMessageBox::Ok, this));
}

void frmProg::showCommError(int code) {
    showBox(new QMessageBox(QMessageBox::NoIcon, Title,
                            QStringLiteral("COM error ") + QString::number(code), QMessageBox::Ok,
                            this));
}

int frmProg::speedIndex() const {
    return Combospeed_->findText(Combospeed_->currentText(),
                                 Qt::MatchExactly | Qt::MatchCaseSensitive);
}
