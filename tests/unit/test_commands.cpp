// The operator's buttons: browse, Clear screen, Help, and the hidden f, g and sFile.
#include "FakeSerialControl.h"
#include "TestFiles.h"
#include "TestPty.h"
#include "VirtualClock.h"
#include "app/LogView.h"
#include "app/frmProg.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class CommandsTest : public ::testing::Test, public ScratchFolder {
protected:
    void SetUp() override {
        auto fake = std::make_unique<FakeSerialControl>();
        control = fake.get();
        auto virtualClock = std::make_unique<VirtualClock>();
        clock = virtualClock.get();
        window = std::make_unique<frmProg>(std::move(fake), std::move(virtualClock));
        window->show();
    }
    QPushButton *button(const char *name) {
        return window->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    void connectPort() {
        control->failOpenWith.clear();
        window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->setText(QStringLiteral("3"));
        button("btnCon")->click();
        ASSERT_TRUE(window->PortOpen());
    }
    QString makeFile(const QString &name,
                     const QByteArray &content = "S1130000000102030405060708090A0B0C0D0E0F74\n"
                                                 "S9030000FC\n") {
        return writeFile(content, name);
    }

    FakeSerialControl *control = nullptr;
    VirtualClock *clock = nullptr;
    std::unique_ptr<frmProg> window;
};

// The guide as the operator must read it, line by line.
const char *const GuideLines[] = {
    "Käyttöohje ",
    "Valitse Com settings kohdasta oikea sarjaportin nopeus (57600) ",
    "ja portin numero (yleensä 1-5). ",
    "Paina Connect-nappia. Ruudun otsikkoon pitäisi ilmestyä ",
    "Connect: true jos yhteys onnistui. ",
    "Connect: Error/false tilanteessa tarkista nopeus, portti  ja kytkentä",
    "Paina browse-nappia. Etsi uusi ohjelmatiedosto (srec).",
    "paina START PROGRAMMING- nappia.",
    "Kytke laitteen virrat pois päältä ja takaisin päälle minuutin sisällä.",
    "Ohjelmointi alkaa.. Prosentit kasvavat ohjelmoinnin edetessä. ",
    "Lopuksi ruutuun kuuluisi ilmestyä teksti: ",
    "Programmed successfully! Restarting device....",
    "Ohjelmointi on tällöin onnistunut. Varsinainen ohjelma käynnistyy samalla.",
    "Muissa tapauksissa yritä ohjelmointia uudelleen.",
    "Speed-valikosta voidaan muutta ohjelmoinnin nopeutta. Hitain on aina varmin.",
};

} // namespace

TEST_F(CommandsTest, helpShowsTheGuideExactlyInAnInformationBox) {
    QStringList lines;
    for (const char *line : GuideLines)
        lines << QString::fromUtf8(line);
    const QString guide = lines.join(QStringLiteral("\r\n"));
    EXPECT_EQ(frmProg::userGuide(), guide);
    EXPECT_EQ(frmProg::userGuide().toLatin1().count('\n'), 14);
    EXPECT_TRUE(frmProg::userGuide().contains(QChar(0xE4)));

    button("Command5")->click();
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), guide);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Tarnix Pellora"));
    EXPECT_EQ(box->icon(), QMessageBox::Information);
    EXPECT_EQ(box->buttons().size(), 1);
    box->button(QMessageBox::Ok)->click();
    EXPECT_EQ(window->session().state(), SessionState::Idle);
}

TEST_F(CommandsTest, clearScreenEmptiesOnlyTheLogAndLaterTextAppendsToTheEmptyLog) {
    connectPort();
    window->session().chooseFile(makeFile(QStringLiteral("a.srec")));
    window->btnFlash_Click();
    control->feed("hello\r\n>");
    const QString caption = window->windowTitle();
    button("Command4")->click();
    EXPECT_TRUE(window->log().text().isEmpty());
    EXPECT_EQ(window->session().state(), SessionState::WaitFileRequest);
    EXPECT_EQ(window->windowTitle(), caption);
    EXPECT_TRUE(window->PortOpen());
    control->feed("abc");
    EXPECT_EQ(window->log().text(), QStringLiteral("abc"));
}

TEST_F(CommandsTest, hiddenButtonsSendFAndGOnlyWhenOpen) {
    button("Command1")->click();
    button("Command2")->click();
    EXPECT_TRUE(control->written.isEmpty());
    connectPort();
    button("Command1")->click();
    button("Command2")->click();
    EXPECT_EQ(control->written, QByteArray("fg"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, Connect: True"));
}

TEST_F(CommandsTest, sFileArmsTheStreamerByHand) {
    connectPort();
    window->session().chooseFile(makeFile(QStringLiteral("a.srec"), "S1aa\nS1bb\n"));
    button("Command3")->click();
    clock->advance(1000);
    clock->advance(1000);
    EXPECT_EQ(control->written, QByteArray("S1aa\n"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnix Pellora, progress: 50%"));
}

TEST_F(CommandsTest, browseShowsTheDialogAndShowsTheChosenPath) {
    const QString srec = makeFile(QStringLiteral("image.srec"));
    makeFile(QStringLiteral("UPPER.SREC"));
    makeFile(QStringLiteral("notes.txt"));
    window->setFileChooser(frmProg::chooseFileWithDialog);
    QString title, filter;
    QStringList listed;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        title = dialog->windowTitle();
        filter = dialog->nameFilters().join(QLatin1Char(';'));
        dialog->setDirectory(dir.path());
        auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
        waitUntil([&] { return view && view->model()->rowCount(view->rootIndex()) >= 2; }, 2000);
        for (int r = 0; view && r < view->model()->rowCount(view->rootIndex()); ++r)
            listed << view->model()->index(r, 0, view->rootIndex()).data().toString();
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(srec);
        static_cast<QDialog *>(dialog)->accept();
    });
    button("btnopenFile")->click();
    EXPECT_EQ(title, QStringLiteral("Open FLASH or EEPROM file"));
    EXPECT_EQ(filter, QStringLiteral("Firmware files (*.srec *.s19 *.s28 *.s37 *.mot *.hex *.ihex "
                                     "*.elf *.bin);All Files (*.srec);All files (*)"));
    listed.sort();
    EXPECT_EQ(listed, (QStringList{"UPPER.SREC", "image.srec"})) << "any letter case, nothing else";
    auto *label = window->findChild<QLabel *>(QStringLiteral("lblFilename"));
    EXPECT_EQ(window->session().selectedFile(), srec);
    EXPECT_EQ(label->text(), srec);
    EXPECT_EQ(label->toolTip(), srec);
    EXPECT_FALSE(button("btnFlash")->isEnabled()) << "the port is closed";
    connectPort();
    EXPECT_TRUE(button("btnFlash")->isEnabled()) << "connecting with a file chosen enables it";
}

TEST_F(CommandsTest, aCancelledChoiceChangesNothing) {
    connectPort();
    const QString first = makeFile(QStringLiteral("first.srec"));
    window->setFileChooser([&](QWidget *) { return first; });
    button("btnopenFile")->click();
    ASSERT_TRUE(button("btnFlash")->isEnabled());
    button("btnFlash")->click(); // a run: the button is disabled while waiting
    ASSERT_FALSE(button("btnFlash")->isEnabled());
    window->setFileChooser([](QWidget *) { return QString(); });
    button("btnopenFile")->click();
    EXPECT_EQ(window->session().selectedFile(), first);
    EXPECT_FALSE(button("btnFlash")->isEnabled());
    EXPECT_EQ(window->findChild<QLabel *>(QStringLiteral("lblFilename"))->text(), first);
}

TEST_F(CommandsTest, closingTheWindowWithTheTimeoutBoxOpenOrMidTransferIsSafe) {
    connectPort();
    window->session().chooseFile(
        makeFile(QStringLiteral("a.srec"),
                 QByteArray("S1130000000102030405060708090A0B0C0D0E0F74\n").repeated(3000)));
    window->btnFlash_Click();
    control->feed(">");
    clock->advance(400);
    control->feed("_");
    clock->advance(1500);
    EXPECT_TRUE(window->session().transferRunning());
    clock->advance(3000); // watchdog: the box is open
    ASSERT_NE(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()), nullptr);
    EXPECT_TRUE(window->close());
    window.reset();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

namespace {

// A key as the operator presses it: to whatever has the keyboard focus.
void press(Qt::Key key) {
    QWidget *focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, key);
}

} // namespace

TEST_F(CommandsTest, aWholeRunCancelIncludedWorksFromTheKeyboard) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    connectPort();
    window->session().chooseFile(makeFile(QStringLiteral("a.srec")));
    control->feed("device text\r\n");
    for (int tabs = 0; tabs < 20 && QApplication::focusWidget() != button("btnFlash"); ++tabs)
        press(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), button("btnFlash"));

    // Space starts and cancels; so do Return and Enter.
    for (const Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        SCOPED_TRACE(key);
        press(key);
        ASSERT_EQ(window->session().state(), SessionState::WaitBootPrompt);
        EXPECT_FALSE(button("btnFlash")->isEnabled());
        EXPECT_NE(QApplication::focusWidget(), button("Command4")) << "Clear screen";
        press(Qt::Key_Space); // a key during the countdown does nothing
        clock->advance(2000);
        EXPECT_EQ(window->session().state(), SessionState::WaitBootPrompt);
        EXPECT_TRUE(window->log().text().contains(QStringLiteral("device text")));
        EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("Waiting restart: 58"));

        control->feed(">");
        ASSERT_EQ(button("btnFlash")->text(), QStringLiteral("CANCEL"));
        EXPECT_EQ(QApplication::focusWidget(), button("btnFlash"));
        press(key);
        EXPECT_EQ(window->session().state(), SessionState::Idle);
        EXPECT_TRUE(window->log().text().startsWith(QStringLiteral("Ohjelmointi keskeytetty!")));
        EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
        EXPECT_EQ(QApplication::focusWidget(), button("btnFlash"));
    }
    // Return on another button presses that one.
    button("Command4")->setFocus(Qt::TabFocusReason);
    press(Qt::Key_Return);
    EXPECT_TRUE(window->log().text().isEmpty());
}

TEST_F(CommandsTest, theSpeedListTakesTypedTextAsAnEntryOnlyWhenItIsOne) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("Combospeed"));
    QLineEdit *edit = combo->lineEdit();
    edit->setFocus(Qt::TabFocusReason);
    const auto type = [&](const char *text) {
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, QString::fromLatin1(text));
        return window->speedIndex();
    };
    EXPECT_EQ(type("1"), -1) << "no completion to \"100 - slowest\"";
    EXPECT_EQ(combo->currentText(), QStringLiteral("1"));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(combo->count(), 6) << "Enter adds nothing";
    EXPECT_EQ(window->speedIndex(), -1);
    EXPECT_EQ(type("100 - slowest"), 4);
    EXPECT_EQ(type("80"), 3);
    EXPECT_EQ(type("8"), -1);
    EXPECT_EQ(type("auto - fast"), -1) << "an entry only as written";
    EXPECT_EQ(type("Auto - fast"), 5);
}
