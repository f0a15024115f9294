#pragma once

#include "app/PortMenu.h"
#include "app/RunNotification.h"
#include "app/WindowBuilder.h"
#include "app/WindowView.h"
#include "devnotify/ModuleUsbNotification.h"
#include "platform/SystemJournal.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"
#include "session/RunHistory.h"
#include "session/RunJournal.h"

#include <QSet>
#include <QUrl>
#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

// The one window: a serial terminal between runs and the front end of the programming session. It
// holds the window's event handlers; its controls come from WindowBuilder, the session's view is a
// WindowView, and the port box's menu a PortBox.
class frmProg : public QWidget {
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
    // Opens in the folder of the last file chosen ([General] LastFolder), else the home folder.
    static QString chooseFileWithDialog(QWidget *parent);
    // Where "Save log…" writes, asked with `suggested` filled in; "" saves nothing.
    using SaveChooser = std::function<QString(QWidget *parent, const QString &suggested)>;
    void setSaveChooser(SaveChooser chooser) { chooseSavePath_ = std::move(chooser); }
    static QString chooseSavePathWithDialog(QWidget *parent, const QString &suggested);

    // The port box's device menu (see PortBox).
    void setDeviceLister(PortBox::DeviceLister lister) {
        portBox_->setDeviceLister(std::move(lister));
    }
    QMenu *createPortMenu() { return portBox_->createMenu(this); }
    void mapPort(int number, const QString &device) { portBox_->mapPort(number, device); }
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
    ProgrammingSession &session() { return *session_; }
    SessionView &view() { return *view_; }
    LogView &log() { return *controls_.txtbuffer; }
    RunNotification &notification() { return notification_; }
    int ListIndex() const { return speedIndex(); }
    bool shutDown() const { return shutDown_; }
    // The selected index of the speed list; -1 when its text matches no item.
    int speedIndex() const;

    // "Save log…": the log with a header (see SavedLog) to a file the operator picks.
    void saveLog();

protected:
    void closeEvent(QCloseEvent *event) override;
    // A firmware file dropped anywhere on the window is chosen as "browse" chooses it.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void connectControls();
    // The chosen file, from "browse" or a drop: shown, handed to the session, its folder kept.
    void takeFile(const QString &path);
    // A drop's files: one local file, or a note saying why nothing was taken.
    void takeDropped(const QList<QUrl> &urls);
    // START: what the log should hear first (no connection, another reader on the port), and the
    // record size of converted files from the settings file.
    void prepareStart();
    // The caption while a run waits for its board: its port away, or the restart.
    void showWaitStatus();
    void SetupPort();
    void TogglePort();
    void onPortLost(const SerialStatus &failure);
    // The notices of a port opened again (other programs on it), once no board is being probed.
    void noteNoticeWhenFree();
    // The one note for a port that did not open: its cause and what to do.
    void noteOpenFailure(const SerialStatus &failure);
    // Each line of the settings file that cannot be read, once.
    void noteUnreadableSettings();
    // Appends the ended run to the run history; the first failure to do so is noted in the log.
    void recordRun(const RunSummary &run);
    // What the kernel knows of the adapter on the port, kept once known, for the run history.
    void noteAdapter();
    // FinalWait= of the settings file, for the next runs; a value it cannot take is said once.
    void applyFinalWait();

    std::unique_ptr<TimerFactory> timers_;
    std::unique_ptr<SerialControl> control_;
    SerialLink link_;
    WindowControls controls_;
    std::unique_ptr<WindowView> view_;
    std::unique_ptr<ProgrammingSession> session_;
    PortBox *portBox_ = nullptr;
    FileChooser chooseFile_ = chooseFileWithDialog;
    SaveChooser chooseSavePath_ = chooseSavePathWithDialog;
    // The last run, for a saved log's header.
    std::optional<RunSummary> lastRun_;
    // The caption shows how the last run ended (PROGRAMMED, a failure): a port that goes away
    // afterwards (the board restarting) leaves it.
    bool endShown_ = false;
    // The port number the next open asks for, as read from the port box.
    int portToOpen_ = 0;
    QSet<QString> namedSettingsLines_;
    // Devices whose first "went away" note has been given.
    QSet<QString> advisedStableName_;
    bool noticeDue_ = false;
    bool shutDown_ = false;
    std::optional<AdapterIdentity> adapter_;
    RunHistory history_{RunHistory::defaultPath()};
    RunJournal journal_{systemJournal()};
    RunNotification notification_;
};
