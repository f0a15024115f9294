// The window as a screen reader reads it through Qt's accessibility interface: each control's name,
// the hidden controls, and what the caption and the notes tell while runs go on and end.
#include "FakeSerialControl.h"
#include "SRecordWriter.h"
#include "TestFiles.h"
#include "VirtualClock.h"
#include "app/LogView.h"
#include "app/WindowLayout.h"
#include "app/frmProg.h"

#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <functional>
#include <gtest/gtest.h>
// Qt switches accessibility on only for a platform with a screen reader behind it; the offscreen
// one is switched on by hand, as Qt's own tests do.
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

namespace {

QObject *listened = nullptr;
QStringList heard; // each name or description event of the listened window, as a reader gets it

void listen(QAccessibleEvent *event) {
    if (event->object() != listened)
        return;
    if (event->type() == QAccessible::NameChanged)
        heard << "name: " + event->accessibleInterface()->text(QAccessible::Name);
    else if (event->type() == QAccessible::DescriptionChanged)
        heard << "note: " + event->accessibleInterface()->text(QAccessible::Description);
}

struct Reader : ScratchFolder {
    Reader() {
        auto fake = std::make_unique<FakeSerialControl>();
        auto virtualClock = std::make_unique<VirtualClock>();
        control = fake.get();
        clock = virtualClock.get();
        window = std::make_unique<frmProg>(std::move(fake), std::move(virtualClock));
        window->show();
        listened = window.get();
        heard.clear();
    }
    ~Reader() { listened = nullptr; }

    QAccessibleInterface *of(const char *name) const {
        return QAccessible::queryAccessibleInterface(
            window->findChild<QWidget *>(QString::fromLatin1(name)));
    }
    void connectPort() {
        window->findChild<QLineEdit *>(QStringLiteral("txtComPort"))->setText(QStringLiteral("3"));
        window->findChild<QPushButton *>(QStringLiteral("btnCon"))->click();
    }
    // Connected, a file of `lines` lines chosen, START.
    void start(int lines) {
        connectPort();
        window->session().chooseFile(writeFile(
            SRecordWriter::file(QByteArray((lines - 1) * 16, 'x'), 0, {.header = false})));
        window->btnFlash_Click();
    }
    // Then the device restarts into its bootloader, asks for the file and the first line goes out.
    void toFirstLine(int lines) {
        start(lines);
        clock->advance(50);
        control->feed(">");
        clock->advance(333);
        control->feed("_");
        control->written.clear();
        clock->advanceUntil([this] { return control->written.contains('\n'); }, 2000);
    }

    FakeSerialControl *control = nullptr;
    VirtualClock *clock = nullptr;
    std::unique_ptr<frmProg> window;
};

// The control's name, the description a reader adds (its tooltip) and the label that labels it;
// with `state`, also what can be done with it.
QString describe(const Reader &r, const char *name, bool state = false) {
    QAccessibleInterface *iface = r.of(name);
    QStringList parts{QString::fromLatin1(name) + ": " + iface->text(QAccessible::Name)};
    if (const QString description = iface->text(QAccessible::Description); !description.isEmpty())
        parts << description;
    for (const auto &[label, relation] : iface->relations(QAccessible::Label))
        parts << "labelled " + label->text(QAccessible::Name);
    if (state) {
        const QAccessible::State s = iface->state();
        const QStringList actions =
            iface->actionInterface() ? iface->actionInterface()->actionNames() : QStringList();
        parts << (s.invisible ? "hidden" : "shown") << (s.disabled ? "unavailable" : "available")
              << (s.focusable ? "focusable" : "no focus")
              << (actions.isEmpty() ? "no action" : actions.join('+'));
        if (iface->editableTextInterface())
            parts << "editable";
    }
    return parts.join(" / ");
}

const QString Caption = QStringLiteral("name: Tarnix Pellora, ");

const struct Scene {
    const char *what;
    std::function<QStringList(Reader &)> read;
    QStringList expected;
} Scenes[] = {
    {"the controls are named apart, by what they are; the chosen file by its path",
     [](Reader &r) {
         QStringList names;
         for (const WindowLayout::Control &control : WindowLayout::controls())
             names << r.of(control.name)->text(QAccessible::Name);
         const bool apart = QSet<QString>(names.begin(), names.end()).size() == names.size() &&
                            !names.contains(QString());
         r.window->setFileChooser([](QWidget *) { return QStringLiteral("/bench/image.srec"); });
         r.window->btnopenFile_Click();
         return QStringList{apart ? "named apart" : "named alike: " + names.join(", ")}
                << describe(r, "txtComPort") << describe(r, "txtSpeed") << describe(r, "txtbuffer")
                << describe(r, "lblFilename") << describe(r, "Combospeed");
     },
     {"named apart", "txtComPort: Port number / Com Port number / labelled Com settings",
      "txtSpeed: Port speed / Port speed: 38400, 57600,76800 / labelled Com settings",
      "txtbuffer: Device output", "lblFilename: Chosen file / /bench/image.srec",
      // Qt on Linux names a combo box by its text; the label beside it says what it is.
      "Combospeed: 60  - normal / labelled Speed:"}},
    {"the hidden controls cannot be pressed, typed into or focused, with the port open",
     [](Reader &r) {
         r.connectPort();
         QStringList got{describe(r, "btnCon", true)};
         for (const char *name : {"Command1", "Command2", "Command3", "txtRefresh"}) {
             got << describe(r, name, true);
             for (const QString &action : {QAccessibleActionInterface::pressAction(),
                                           QAccessibleActionInterface::setFocusAction()})
                 r.of(name)->actionInterface()->doAction(action);
             if (auto *button = qobject_cast<QPushButton *>(r.of(name)->object()))
                 got.last() += button->isDown() ? " / went down" : " / stayed up";
         }
         r.clock->advance(2000);
         return got << "sent: " + QString::fromLatin1(r.control->written)
                    << "focus: " + r.window->focusWidget()->objectName();
     },
     {"btnCon: Disconnect / labelled Com settings / shown / available / focusable / Press+SetFocus",
      "Command1: Send f / hidden / unavailable / no focus / no action / stayed up",
      "Command2: Send g / hidden / unavailable / no focus / no action / stayed up",
      "Command3: Send the file / hidden / unavailable / no focus / no action / stayed up",
      "txtRefresh: Delay before sending f (ms) / labelled Com settings / hidden / unavailable / "
      "no focus / no action",
      "sent: ", "focus: txtSpeed"}},
    {"a run that programs: each status, the progress once per tenth",
     [](Reader &r) {
         r.toFirstLine(20);
         for (qsizetype answered = 0; !r.window->windowTitle().endsWith("100%");) {
             for (; answered < r.control->written.count('\n'); ++answered)
                 r.control->feed(".");
             r.clock->advance(10);
         }
         r.control->feed("P");
         return heard;
     },
     {Caption + "Connect: True", Caption + "Waiting restart", Caption + "Bootprogram started",
      Caption + "Sending File", Caption + "progress: 5%", Caption + "progress: 10%",
      Caption + "progress: 20%", Caption + "progress: 30%", Caption + "progress: 40%",
      Caption + "progress: 50%", Caption + "progress: 60%", Caption + "progress: 70%",
      Caption + "progress: 80%", Caption + "progress: 90%", Caption + "progress: 100%",
      Caption + "PROGRAMMED"}},
    {"a long run: within a tenth the caption takes the latest progress ten times a second",
     [](Reader &r) {
         r.window->findChild<QComboBox *>(QStringLiteral("Combospeed"))
             ->setCurrentIndex(Pacing::AutoSpeedIndex);
         r.toFirstLine(1000);
         const auto answer = [&r](int lines) {
             for (int i = 0; i < lines; ++i)
                 r.control->feed(".");
         };
         QStringList captions;
         answer(5); // 0.1 % (a new tenth) to 0.5 %
         captions << r.window->windowTitle();
         r.clock->advance(LogView::FloodFrameMs);
         captions << r.window->windowTitle();
         answer(95); // to 10 %, a new tenth, then on within it
         answer(5);
         captions << r.window->windowTitle();
         r.control->loseDevice(); // a status after a progress still waiting for its frame
         r.clock->advance(LogView::FloodFrameMs);
         return captions << r.window->windowTitle();
     },
     {"Tarnix Pellora, progress: 0.1%", "Tarnix Pellora, progress: 0.5%",
      "Tarnix Pellora, progress: 10%", "Tarnix Pellora, Connect: False"}},
    {"no answer: the failure and the DOT Timeout's note",
     [](Reader &r) {
         r.toFirstLine(2);
         r.clock->advance(3000);
         return heard;
     },
     {Caption + "Connect: True", Caption + "Waiting restart", Caption + "Bootprogram started",
      Caption + "Sending File", Caption + "progress: 50%", Caption + "progress: 100%",
      Caption + "Programming FAILLED",
      "note: The device answered 0 of 2 lines (2 sent), then fell silent: switch it off and on "
      "again, then program it once more."}},
    {"no boot prompt: the note, gone when the next run starts",
     [](Reader &r) {
         r.start(2);
         r.clock->advance(61'000);
         r.window->btnFlash_Click();
         return heard;
     },
     {Caption + "Connect: True", Caption + "Waiting restart",
      "note: Restart to bootprogram failled!", Caption + "Restart to bootprogram failled!",
      "note: ", Caption + "Waiting restart"}},
    {"the adapter unplugged while sending: the note, then the connection",
     [](Reader &r) {
         r.toFirstLine(2);
         r.control->loseDevice();
         return heard;
     },
     {Caption + "Connect: True", Caption + "Waiting restart", Caption + "Bootprogram started",
      Caption + "Sending File",
      "note: /dev/fake3: the device disappeared; the board got 0 of 2 lines: plug it back in and "
      "program it again",
      Caption + "Connect: False"}},
};

} // namespace

TEST(Accessibility, theWindowAsAScreenReaderHearsIt) {
    QAccessible::installUpdateHandler(listen);
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    ASSERT_TRUE(QAccessible::isActive());
    for (const Scene &scene : Scenes) {
        SCOPED_TRACE(scene.what);
        Reader reader;
        EXPECT_EQ(scene.read(reader).join('\n').toStdString(),
                  scene.expected.join('\n').toStdString());
        // Whatever was announced last, the window's name is its caption.
        EXPECT_EQ(
            QAccessible::queryAccessibleInterface(reader.window.get())->text(QAccessible::Name),
            reader.window->windowTitle());
    }
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(false);
    QAccessible::installUpdateHandler(nullptr);
}
