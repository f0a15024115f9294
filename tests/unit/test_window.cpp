// The window as the operator first sees it, start-up from the settings file, and shut-down.
#include "FakeSerialControl.h"
#include "FirmwareFiles.h"
#include "SettingsFile.h"
#include "VirtualClock.h"
#include "app/LogView.h"
#include "app/frmProg.h"
#include "devnotify/ModuleUsbNotification.h"
#include "settings/ModuleReg.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

std::unique_ptr<frmProg> makeWindow(FakeSerialControl **control = nullptr,
                                    VirtualClock **clock = nullptr) {
    auto fake = std::make_unique<FakeSerialControl>();
    auto virtualClock = std::make_unique<VirtualClock>();
    if (control)
        *control = fake.get();
    if (clock)
        *clock = virtualClock.get();
    return std::make_unique<frmProg>(std::move(fake), std::move(virtualClock));
}

// The layout as drawn: twips, 15 to the pixel.
struct Row {
    const char *name;
    const char *className;
    const char *container;
    int left, top, width, height;
    const char *caption;
    const char *toolTip;
    bool enabled, visible;
};

const Row Inventory[] = {
    {"Frame9", "QGroupBox", nullptr, 360, 120, 2775, 675, "Com settings", "", true, true},
    {"txtRefresh", "QLineEdit", "Frame9", 240, 600, 375, 285, "333", "", true, false},
    {"txtSpeed", "QLineEdit", "Frame9", 240, 240, 735, 285, "57600",
     "Port speed: 38400, 57600,76800", true, true},
    {"txtComPort", "QLineEdit", "Frame9", 1200, 240, 315, 285, nullptr, "Com Port number", true,
     true},
    {"btnCon", "QPushButton", "Frame9", 1560, 240, 1065, 285, "Connect", "", true, true},
    {"txtbuffer", "LogView", nullptr, 240, 1200, 8655, 6135, "", "", true, true},
    {"lblFilename", "QLabel", nullptr, 360, 840, 7455, 285, "", "", true, true},
    {"btnopenFile", "QPushButton", nullptr, 8040, 840, 855, 285, "browse", "", true, true},
    {"btnFlash", "QPushButton", nullptr, 3240, 240, 3255, 495, "START PROGRAMMING", "", false,
     true},
    {"Command1", "QPushButton", nullptr, 8520, 360, 375, 315, "f", "", true, false},
    {"Command2", "QPushButton", nullptr, 8040, 360, 375, 375, "g", "", true, false},
    {"Command3", "QPushButton", nullptr, 7320, 240, 615, 495, "sFile", "", true, false},
    {"Command4", "QPushButton", nullptr, 6960, 7440, 1335, 375, "Clear screen", "", true, true},
    {"Combospeed", "QComboBox", nullptr, 1320, 7440, 1815, 315, "60  - normal", "", true, true},
    {"Label1", "QLabel", nullptr, 600, 7440, 735, 255, "Speed:", "", true, true},
    {"Command5", "QPushButton", nullptr, 6720, 240, 1935, 495, "Help", "", true, true},
};

QString captionOf(QWidget *w) {
    if (auto *b = qobject_cast<QPushButton *>(w))
        return b->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *g = qobject_cast<QGroupBox *>(w))
        return g->title();
    if (auto *c = qobject_cast<QComboBox *>(w))
        return c->currentText();
    if (auto *log = qobject_cast<LogView *>(w))
        return log->text();
    return {};
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { removeSettings(); }
};

} // namespace

TEST_F(WindowTest, everyControlMatchesTheLayoutTable) {
    auto window = makeWindow();
    window->show();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora"));
    EXPECT_EQ(window->size(), QSize(602, 527));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the window must not be resizable";
    EXPECT_FALSE(window->windowIcon().isNull());
    for (int size : {16, 32, 48, 64})
        EXPECT_TRUE(window->windowIcon().availableSizes().contains(QSize(size, size))) << size;

    for (const Row &row : Inventory) {
        SCOPED_TRACE(row.name);
        auto *w = window->findChild<QWidget *>(QString::fromLatin1(row.name));
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->inherits(row.className));
        const QString container = row.container ? QString::fromLatin1(row.container) : QString();
        EXPECT_EQ(w->parentWidget() == window.get() ? QString() : w->parentWidget()->objectName(),
                  container);
        EXPECT_EQ(w->geometry(),
                  QRect(row.left / 15, row.top / 15, row.width / 15, row.height / 15));
        if (row.caption) {
            EXPECT_EQ(captionOf(w), QString::fromUtf8(row.caption));
        }
        EXPECT_EQ(w->toolTip(), QString::fromUtf8(row.toolTip));
        EXPECT_EQ(w->isEnabled(), row.enabled);
        EXPECT_EQ(w->isVisibleTo(window.get()), row.visible);
    }
}

TEST_F(WindowTest, tabOrderSkipsHiddenAndLabelsAndStartsAtTheSpeedBox) {
    auto window = makeWindow();
    window->show();
    window->activateWindow();
    QStringList order;
    QWidget *w = window->findChild<QWidget *>(QStringLiteral("txtSpeed"));
    for (int i = 0; i < 8 && w; ++i) {
        order << w->objectName();
        do
            w = w->nextInFocusChain();
        while (w && (!w->isVisibleTo(window.get()) || w->focusPolicy() == Qt::NoFocus ||
                     w->objectName().isEmpty() || !w->isEnabled()));
    }
    // btnFlash is disabled at start and so not reached.
    EXPECT_EQ(order, (QStringList{"txtSpeed", "txtComPort", "btnCon", "txtbuffer", "btnopenFile",
                                  "Command4", "Combospeed", "Command5"}));
    EXPECT_EQ(window->focusWidget(), window->findChild<QWidget *>(QStringLiteral("txtSpeed")));
}

TEST_F(WindowTest, tabAndShiftTabKeysWalkEveryControlBothWaysAlsoThroughTheLog) {
    auto window = makeWindow();
    window->show();
    window->activateWindow();
    window->view().setStartEnabled(true); // the start button is in the chain once a file is chosen
    window->log().appendReceived("device text\r\n");
    window->log().flush();
    // A combo box's focus sits on its line edit; name it after the control.
    const auto focused = [&] {
        QWidget *w = window->focusWidget();
        while (w && w->objectName().isEmpty())
            w = w->parentWidget();
        return w ? w->objectName() : QString();
    };
    // From txtbuffer on, one lap forward, then one lap back from where it ended.
    const QStringList lap{"txtbuffer", "btnopenFile", "btnFlash",   "Command4", "Combospeed",
                          "Command5",  "txtSpeed",    "txtComPort", "btnCon",   "txtbuffer"};
    window->log().setFocus();
    ASSERT_EQ(focused(), QStringLiteral("txtbuffer"));
    QStringList forward{focused()};
    for (int i = 1; i < lap.size(); ++i) {
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
        forward << focused();
    }
    EXPECT_EQ(forward.join(' ').toStdString(), lap.join(' ').toStdString());
    QStringList backward{focused()};
    for (int i = 1; i < lap.size(); ++i) {
        QTest::keyClick(window->focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        backward << focused();
    }
    const QStringList reversed(lap.rbegin(), lap.rend());
    EXPECT_EQ(backward.join(' ').toStdString(), reversed.join(' ').toStdString());
    EXPECT_EQ(window->log().text(), QStringLiteral("device text\n")) << "no tab typed";
}

TEST_F(WindowTest, startUpFillsTheSpeedListAndFirstValues) {
    auto window = makeWindow();
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("Combospeed"));
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    EXPECT_EQ(items, (QStringList{"20  - fastest", "40", "60  - normal", "80", "100 - slowest",
                                  "Auto - fast"}));
    EXPECT_EQ(window->ListIndex(), 2);
    EXPECT_TRUE(window->session().selectedFile().isEmpty());
    EXPECT_EQ(window->session().countdown(), 60);
    EXPECT_EQ(window->session().state(), SessionState::Idle);
    EXPECT_FALSE(window->Connected);
    EXPECT_FALSE(window->PortOpen());
    EXPECT_FALSE(window->link().PortError());
}

TEST_F(WindowTest, speedListReadsMinusOneForHandEditedTextAndNeverGrows) {
    auto window = makeWindow();
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("Combospeed"));
    combo->setEditText(QStringLiteral("fast please"));
    EXPECT_EQ(window->ListIndex(), -1);
    combo->lineEdit()->returnPressed();
    EXPECT_EQ(combo->count(), 6);
    combo->setEditText(QStringLiteral("Auto - fast"));
    EXPECT_EQ(window->ListIndex(), 5);
}

struct StoredPortCase {
    const char *name;
    std::optional<QString> stored;
    QString shown;
    std::optional<QString> storedAfter;
};

// Keeps the test names CTest shows stable: the name says the case.
void PrintTo(const StoredPortCase &c, std::ostream *os) {
    *os << c.name;
}

class StartUpPortTest : public ::testing::TestWithParam<StoredPortCase> {
protected:
    void SetUp() override { removeSettings(); }
};

TEST_P(StartUpPortTest, portBoxAndDefault) {
    const StoredPortCase &c = GetParam();
    if (c.stored)
        storeSetting(QStringLiteral("ComPort"), *c.stored);
    auto window = makeWindow();
    EXPECT_EQ(window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->text(), c.shown);
    EXPECT_EQ(ModuleReg::ReadRegString(ModuleReg::HKEY_LOCAL_MACHINE,
                                       QString::fromLatin1(ModuleReg::SettingsPath),
                                       QStringLiteral("ComPort")),
              c.storedAfter);
}

INSTANTIATE_TEST_SUITE_P(Stored, StartUpPortTest,
                         ::testing::Values(StoredPortCase{"none", std::nullopt, "2", "2"},
                                           StoredPortCase{"five", "5", "5", "5"},
                                           StoredPortCase{"zero", "0", "2", "2"},
                                           StoredPortCase{"empty", "", "2", "2"},
                                           StoredPortCase{"letters", "abc", "2", "2"},
                                           StoredPortCase{"leadingBlank", " 4", " 4", " 4"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WindowTest, storedFiveIsNotWrittenAgain) {
    const QByteArray handWritten = "; kept as written\n[General]\nComPort = 5\n";
    writeSettings(handWritten);
    auto window = makeWindow();
    EXPECT_EQ(window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->text(),
              QStringLiteral("5"));
    EXPECT_EQ(readSettings(), handWritten);
}

TEST_F(WindowTest, closingWhileConnectedClosesThePortAndRemovesTheHookWithoutAsking) {
    FakeSerialControl *control = nullptr;
    auto window = makeWindow(&control);
    window->show();
    EXPECT_TRUE(ModuleUsbNotification::hookInstalled());
    window->findChild<QPushButton *>(QStringLiteral("btnCon"))->click();
    ASSERT_TRUE(window->PortOpen());
    EXPECT_TRUE(window->close()) << "the close is never refused";
    EXPECT_FALSE(control->portOpen());
    EXPECT_FALSE(ModuleUsbNotification::hookInstalled());
    EXPECT_EQ(ModuleUsbNotification::NotifyHandle, nullptr);
}

TEST_F(WindowTest, closingWithThePortClosedShowsNothing) {
    auto window = makeWindow();
    window->show();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora"));
}

namespace {

// A window on a fake port in virtual time, connected or not, with port 3 typed in.
struct Bench : ScratchFolder {
    FakeSerialControl *control = nullptr;
    VirtualClock *clock = nullptr;
    std::unique_ptr<frmProg> window = makeWindow(&control, &clock);
    Bench() {
        window->show();
        window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->setText(QStringLiteral("3"));
    }
    QPushButton *button(const char *name) const {
        return window->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    QString caption() const { return window->windowTitle().mid(16); } // after "Tarnix Pellora, "
    QString log() const { return window->log().text(); }
    QString choose(const QString &path) {
        window->setFileChooser([path](QWidget *) { return path; });
        button("btnopenFile")->click();
        return path;
    }
    // Connected, an image chosen, START pressed.
    QString start() {
        button("btnCon")->click();
        const QString image = choose(writeFile(TwoLines));
        button("btnFlash")->click();
        return image;
    }
    // Dragged over the log and dropped there: true when the window took the drag.
    bool drop(const QList<QUrl> &urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter({5, 5}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window->log().viewport(), &enter);
        QDropEvent dropped({5, 5}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window->log().viewport(), &dropped);
        return enter.isAccepted();
    }
    QString dialogFolder() {
        QString folder;
        window->setFileChooser(frmProg::chooseFileWithDialog);
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            folder = dialog->directory().absolutePath();
            dialog->reject();
        });
        button("btnopenFile")->click();
        return folder;
    }
    static constexpr char TwoLines[] = "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n";
};

} // namespace

// The window says what is true now and takes a file as a desktop program does. One row each.
TEST_F(WindowTest, saysWhatIsTrueNowAndTakesFilesAsADesktopProgramDoes) {
    const std::pair<const char *, std::function<void(Bench &)>> rows[] = {
        {"the caption through START, a port away and back, the prompt, CANCEL, away when idle",
         [](Bench &r) {
             QStringList seen;
             const auto step = [&](const std::function<void()> &act) {
                 act(), seen << r.caption();
             };
             r.start();
             seen << r.caption();
             step([&] { r.control->loseDevice(); });
             step([&] { r.control->plugIn(); });
             step([&] { r.control->feed(">"); });
             step([&] { r.button("btnFlash")->click(); });
             step([&] { r.control->loseDevice(); });
             step([&] { r.control->plugIn(); });
             EXPECT_EQ(seen, (QStringList{"Waiting restart", "Waiting for the board's port",
                                          "Waiting restart", "Bootprogram started", "Cancelled",
                                          "Waiting for the board's port", "Connect: True"}));
         }},
        {"a verdict stays while the board restarts",
         [](Bench &r) {
             r.start();
             r.control->feed(">"), r.clock->advance(333), r.control->feed("_");
             r.clock->advance(1200), r.control->feed("..P");
             r.control->loseDevice(), r.control->plugIn();
             EXPECT_EQ(r.caption(), QStringLiteral("PROGRAMMED"));
         }},
        {"START without a connection says what to do",
         [](Bench &r) {
             r.button("btnCon")->click();
             r.choose(r.writeFile(Bench::TwoLines));
             r.button("btnCon")->click(); // Disconnect: the button stays enabled
             r.button("btnFlash")->click();
             EXPECT_TRUE(r.log().endsWith(
                 QStringLiteral("Not connected: press Connect first (port 3 opens /dev/ttyS2)")));
         }},
        {"RecordBytes in the settings file sizes a converted file's records",
         [](Bench &r) {
             storeSetting(QStringLiteral("RecordBytes"), QStringLiteral("32"));
             r.button("btnCon")->click();
             r.choose(r.writeFile(FirmwareFiles::hexRecord(0, 0, QByteArray(64, 'a')) + "\n" +
                                      FirmwareFiles::hexEnd() + "\n",
                                  QStringLiteral("app.hex")));
             r.button("btnFlash")->click();
             EXPECT_TRUE(r.log().contains(QStringLiteral("sent as 2 S1 records")));
         }},
        {"a dropped file is chosen and its folder is where the dialog opens next",
         [](Bench &r) {
             const QString image = r.writeFile(Bench::TwoLines);
             EXPECT_TRUE(r.drop({QUrl::fromLocalFile(image)}));
             EXPECT_EQ(r.window->session().selectedFile(), image);
             EXPECT_EQ(r.dialogFolder(), r.dir.path());
             storeSetting(QStringLiteral("LastFolder"), r.path(QStringLiteral("gone")));
             EXPECT_EQ(r.dialogFolder(), QDir::homePath());
         }},
        {"several files, a folder, a web address are refused; nothing is taken during a run",
         [](Bench &r) {
             const QUrl file = QUrl::fromLocalFile(r.writeFile(Bench::TwoLines, "b.srec"));
             r.drop({file, file});
             r.drop({QUrl::fromLocalFile(r.dir.path())});
             r.drop({QUrl(QStringLiteral("https://example.org/app.srec"))});
             for (const QString &note :
                  {QStringLiteral("2 files were dropped"), r.dir.path() + " is a folder",
                   QStringLiteral("https://example.org/app.srec is not a file on this computer")})
                 EXPECT_TRUE(r.log().contains(note)) << note.toStdString();
             const QString chosen = r.start();
             EXPECT_FALSE(r.drop({file}));
             EXPECT_EQ(r.window->session().selectedFile(), chosen);
         }},
        {"Save log… writes a header and the log as it reads; an unwritable place is noted",
         [](Bench &r) {
             const QString image = r.start();
             r.control->feed(">"), r.button("btnFlash")->click(); // CANCEL
             const QString log = r.log();
             const auto save = [&](const QString &path) {
                 r.window->setSaveChooser([path](QWidget *, const QString &) { return path; });
                 std::unique_ptr<QMenu> menu(r.window->log().createContextMenu({0, 0}));
                 menu->findChild<QAction *>(QStringLiteral("saveLog"))->trigger();
                 return QString::fromUtf8(readFile(path));
             };
             const QString saved = save(r.path(QStringLiteral("kept.log")));
             EXPECT_TRUE(saved.startsWith(QStringLiteral("Tarnix Pellora log, saved ")));
             for (const QString &part :
                  {QStringLiteral("\nPort: 3, /dev/fake3\nFile: %1\nSHA-256: %2\n")
                       .arg(image, sha256sum(image)),
                   QStringLiteral("\nLast run: cancelled, 0 of 2 lines sent, "),
                   QStringLiteral("\n\n") + log + QLatin1Char('\n')})
                 EXPECT_TRUE(saved.contains(part)) << saved.toStdString();
             save(QStringLiteral("/no/such/folder/kept.log"));
             EXPECT_TRUE(r.log().startsWith(log));
             EXPECT_TRUE(r.log().contains(
                 QStringLiteral("The log cannot be saved to /no/such/folder/kept.log")));
         }},
        {"Escape in the countdown cancels",
         [](Bench &r) {
             r.window->activateWindow();
             ASSERT_TRUE(QTest::qWaitForWindowActive(r.window.get()));
             r.start();
             QTest::keyClick(r.window.get(), Qt::Key_Escape);
             EXPECT_EQ(r.window->session().state(), SessionState::Idle);
             EXPECT_TRUE(r.log().startsWith(QStringLiteral("Ohjelmointi keskeytetty!")));
         }},
    };
    for (const auto &[name, row] : rows) {
        SCOPED_TRACE(name);
        removeSettings();
        Bench r;
        row(r);
    }
}
