#pragma once

#include "app/RunNotification.h"
#include "devnotify/ModuleUsbNotification.h"
#include "serial/SerialDevices.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"
#include "session/RunHistory.h"
#include "session/SessionView.h"

#include <QSet>
#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>

class LogView;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPushButton;

// The one window: a serial terminal between runs and the front end of the programming session.
class frmProg : public QWidget, public SessionView {
    Q_OBJECT
public:
    // The serial control and the timers default to the real ones; tests pass fakes.
    explicit frmProg(std::unique_ptr<SerialControl> control = nullptr,
                     std::unique_ptr<TimerFactory> timers = nullptr, QWidget *parent = nullptr);
    ~frmProg() override;

    // Public members.
    bool PortOpen() const { return link_.PortOpen(); }
    SerialStatus BaudRate(int val) { return link_.BaudRate(val); }
    SerialStatus comPort(qint16 val) { return link_.comPort(val); }
    void Send(int data, bool invert) { link_.Send(data, invert); }
    void SendPacket(quint8 cmd, const QVariant &data);
    bool Connected = false;

    // Shown in a file chooser by "browse"; replaceable for tests. Returns the chosen path or "".
    using FileChooser = std::function<QString(QWidget *parent)>;
    void setFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
    static QString chooseFileWithDialog(QWidget *parent);

    // The serial devices the port box's context menu offers; replaceable for tests.
    using DeviceLister = std::function<QList<SerialDevice>()>;
    void setDeviceLister(DeviceLister lister) { listDevices_ = std::move(lister); }
    // The menu a right-click (or the menu key) on the port box shows, without the box's editing
    // entries; the caller owns it.
    QMenu *createPortMenu();
    // Maps port `number` to `device` in [Ports], with a note in the log.
    void mapPort(int number, const QString &device);
    static QString userGuide();

    // Handlers.
    void Form_Load();
    void Form_QueryUnload();
    void btnCon_Click();
    void btnFlash_Click();
    void btnopenFile_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();

    SerialLink &link() { return link_; }
    SerialControl &serialControl() { return *control_; }
    ProgrammingSession &session() { return *session_; }
    LogView &log() { return *txtbuffer_; }
    RunNotification &notification() { return notification_; }
    int ListIndex() const { return speedIndex(); }
    bool shutDown() const { return shutDown_; }

    // SessionView
    void showStage(Stage stage) override;
    void showProgress(double percent) override;
    void showCountdown(int seconds) override;
    void showStartAction(StartAction action) override;
    void setStartEnabled(bool enabled) override;
    void appendReceived(const QByteArray &bytes) override;
    void appendNote(const QString &text) override;
    void prependNote(const QString &text) override;
    void showDotTimeout() override;
    void showCommError(int code) override;
    // The selected index of the speed list; -1 when its text matches no item.
    int speedIndex() const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void SetupPort();
    void TogglePort();
    void onPortLost();
    // A note at the end of the log, on a line of its own.
    void note(const QString &text);
    // The one note for a port that did not open: its cause and what to do.
    void noteOpenFailure(const SerialStatus &failure);
    // Each line of the settings file that cannot be read, once.
    void noteUnreadableSettings();
    // The caption is set only when its text changes: a run of identical progress texts costs
    // nothing.
    void setCaption(const QString &status);
    void showPortMenu(const QPoint &pos);
    void showBox(QMessageBox *box);
    // Appends the ended run to the run history; the first failure to do so is noted in the log.
    void recordRun(const RunSummary &run);

    std::unique_ptr<SerialControl> control_;
    std::unique_ptr<TimerFactory> timers_;
    SerialLink link_;
    std::unique_ptr<ProgrammingSession> session_;
    FileChooser chooseFile_ = chooseFileWithDialog;
    DeviceLister listDevices_ = [] { return listSerialDevices(); };
    // The port number the next open asks for, as read from the port box.
    int portToOpen_ = 0;
    QSet<QString> namedSettingsLines_;
    // The start button had the focus when it was disabled for a run; the window holds it meanwhile.
    bool startFocusHeld_ = false;
    bool shutDown_ = false;
    double shownPercent_ = -1;
    QString shownProgressCaption_;
    RunHistory history_{RunHistory::defaultPath()};
    RunNotification notification_;

    QGroupBox *Frame9_ = nullptr;
    QLineEdit *txtRefresh_ = nullptr;
    QLineEdit *txtSpeed_ = nullptr;
    QLineEdit *txtComPort_ = nullptr;
    QPushButton *btnCon_ = nullptr;
    LogView *txtbuffer_ = nullptr;
    QLabel *lblFilename_ = nullptr;
    QPushButton *btnopenFile_ = nullptr;
    QPushButton *btnFlash_ = nullptr;
    QPushButton *Command1_ = nullptr;
    QPushButton *Command2_ = nullptr;
    QPushButton *Command3_ = nullptr;
    QPushButton *Command4_ = nullptr;
    QComboBox *Combospeed_ = nullptr;
    QLabel *Label1_ = nullptr;
    QPushButton *Command5_ = nullptr;
};

// The caption's progress text ("progress: 33.3%", in the user's locale).
QString progressText(double percent);
// Texts of the speed list, in order.
QStringList speedListItems();
// The caption's time of day: the locale's long time form without a time zone.
QString captionTime(const QTime &time);
