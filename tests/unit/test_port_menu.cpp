// The serial devices present, read from a scratch /dev and /sys: the port box's context menu that
// maps a number to one of them, the next Connect opening it, the note after a Connect that found
// nothing, and --list-ports and the shell completion showing the same list.
#include "BashCompletion.h"
#include "ScratchMachine.h"
#include "SettingsFile.h"
#include "TestPty.h"
#include "VirtualClock.h"
#include "app/LogView.h"
#include "app/frmProg.h"
#include "cli/PortList.h"
#include "serial/SerialDevices.h"
#include "settings/ModuleReg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(SerialDevices, stableNamesFirstThenUsbNodesThenBuiltinPortsWithAUart) {
    ScratchMachine machine;
    EXPECT_TRUE(listSerialDevices(machine.dev(QStringLiteral("nowhere")), machine.sys()).isEmpty())
        << "no /dev at all";
    EXPECT_TRUE(machine.devices().isEmpty()) << "an empty /dev";
    for (const char *name : {"ttyUSB0", "ttyUSB1", "ttyUSB10", "ttyUSB2", "ttyACM0", "ttyACM1",
                             "ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyS1a", "ttyUSB", "tty0"})
        machine.add(QString::fromLatin1(name));
    const QString byId = QStringLiteral("serial/by-id/");
    machine.add(byId + QStringLiteral("usb-B2-if00"), QStringLiteral("../../ttyACM0"));
    machine.add(byId + QStringLiteral("usb-A1-if00-port0"), QStringLiteral("../../ttyUSB1"));
    machine.add(byId + QStringLiteral("usb-Unplugged"), QStringLiteral("../../ttyUSB7"));
    machine.setUartType(QStringLiteral("ttyS0"), 4);
    machine.setUartType(QStringLiteral("ttyS1"), 0); // a node without a port behind it
    machine.setUartType(QStringLiteral("ttyS10"), 4);
    // ttyS2 has no sysfs entry and a plain file answers no TIOCGSERIAL: it is kept.

    const QList<SerialDevice> found = machine.devices();
    QStringList shown;
    for (const SerialDevice &device : found)
        shown << device.describe().replace(machine.dev(), QString());
    EXPECT_EQ(shown, QStringList({"serial/by-id/usb-A1-if00-port0 -> ttyUSB1",
                                  "serial/by-id/usb-B2-if00 -> ttyACM0", "ttyACM1", "ttyUSB0",
                                  "ttyUSB2", "ttyUSB10", "ttyS0", "ttyS2", "ttyS10"}));

    // --list-ports prints this very list, in this order.
    const QString listing = portListing(found);
    qsizetype at = 0;
    for (const SerialDevice &device : found) {
        at = listing.indexOf(QStringLiteral("  ") + device.describe() + QLatin1Char('\n'), at);
        EXPECT_GE(at, 0) << device.describe().toStdString();
    }

    // The shell completion of --device offers every path of that list, a link's node too.
    QStringList listed;
    for (const SerialDevice &device : found)
        listed << device.path << device.node;
    listed.removeDuplicates();
    listed.sort();
    const CompletionResult completed = bashCompletionDevices(machine.dev(), machine.sys());
    EXPECT_EQ(completed.errors.toStdString(), "");
    QStringList offered = completed.replies;
    offered.sort();
    EXPECT_EQ(offered.join(QLatin1Char('\n')).toStdString(),
              listed.join(QLatin1Char('\n')).toStdString());
}

namespace {

class PortMenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(settingsFile());
        ASSERT_TRUE(pty.ok());
        // The adapter's node is the pseudo-terminal, so that the mapping can really be opened.
        machine.add(QStringLiteral("ttyUSB0"), pty.slavePath());
        machine.add(QStringLiteral("serial/by-id/usb-A1-if00-port0"),
                    QStringLiteral("../../ttyUSB0"));
        machine.add(QStringLiteral("ttyUSB3"));
        window = std::make_unique<frmProg>(nullptr, std::make_unique<VirtualClock>());
        window->setDeviceLister([this] { return machine.devices(); });
        portBox = window->findChild<QLineEdit *>(QStringLiteral("txtComPort"));
        btnCon = window->findChild<QPushButton *>(QStringLiteral("btnCon"));
    }

    // The device entries of a menu: the actions that carry a path.
    static QList<QAction *> entries(QMenu &menu) {
        QList<QAction *> found;
        for (QAction *action : menu.actions())
            if (action->data().isValid())
                found << action;
        return found;
    }
    QString stablePath() const {
        return machine.dev(QStringLiteral("serial/by-id/usb-A1-if00-port0"));
    }
    QString logText() const { return window->log().text(); }
    static QByteArray stored() { return readSettings(); }

    TestPty pty;
    ScratchMachine machine;
    std::unique_ptr<frmProg> window;
    QLineEdit *portBox = nullptr;
    QPushButton *btnCon = nullptr;
};

} // namespace

// Which board a record is of: the USB adapter behind a node or a link, found up the tty's sysfs
// device folders, and the socket it is plugged into (its by-path link); nothing for a port the
// kernel knows no adapter of.
TEST(SerialDevices, theAdapterIsWhatSysfsKnowsOfTheUsbDeviceBehindTheTty) {
    ScratchMachine machine;
    const QString usb = QStringLiteral("sys/devices/pci0000:00/usb1/1-2");
    machine.file(usb + QStringLiteral("/idVendor"), "0403\n");
    machine.file(usb + QStringLiteral("/idProduct"), "6001\n");
    machine.file(usb + QStringLiteral("/serial"), "A1B2C3\n");
    machine.file(usb + QStringLiteral("/1-2:1.0/ttyUSB0/uevent"));
    QDir().mkpath(machine.sys() + QStringLiteral("/class/tty/ttyUSB0"));
    QFile::link(machine.dir.filePath(usb + QStringLiteral("/1-2:1.0/ttyUSB0")),
                machine.sys() + QStringLiteral("/class/tty/ttyUSB0/device"));
    machine.add(QStringLiteral("ttyUSB0"));
    machine.add(QStringLiteral("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"),
                machine.dev(QStringLiteral("ttyUSB0")));
    machine.add(QStringLiteral("serial/by-id/usb-FTDI_A1B2C3-if00-port0"),
                machine.dev(QStringLiteral("ttyUSB0")));
    machine.add(QStringLiteral("pts5"));
    const AdapterIdentity ftdi{QStringLiteral("0403"), QStringLiteral("6001"),
                               QStringLiteral("A1B2C3"),
                               machine.dev(QStringLiteral("serial/by-path/"
                                                          "pci-0000:00:14.0-usb-0:2:1.0-port0"))};
    EXPECT_EQ(adapterIdentity(machine.dev(QStringLiteral("ttyUSB0")), machine.dev(), machine.sys()),
              ftdi);
    EXPECT_EQ(
        adapterIdentity(machine.dev(QStringLiteral("serial/by-id/usb-FTDI_A1B2C3-if00-port0")),
                        machine.dev(), machine.sys()),
        ftdi)
        << "a link leads to its node's adapter";
    EXPECT_EQ(adapterIdentity(machine.dev(QStringLiteral("pts5")), machine.dev(), machine.sys()),
              std::nullopt);
}

TEST_F(PortMenuTest, pickingADeviceMapsTheBoxNumberKeepsTheRestAndTheNextConnectOpensIt) {
    {
        QSettings ini(settingsFile(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Ports/COM3"), QStringLiteral("/dev/ttyUSB9"));
        ini.setValue(QStringLiteral("Ports/COM7"), QStringLiteral("/dev/ttyS6"));
        ini.setValue(QStringLiteral("Bench/Station"), QStringLiteral("4"));
    }
    portBox->setText(QStringLiteral("7"));
    std::unique_ptr<QMenu> menu(window->createPortMenu());
    ASSERT_EQ(entries(*menu).size(), 2);
    EXPECT_EQ(entries(*menu)[0]->text(), stablePath() + " -> " + machine.dev("ttyUSB0"));
    EXPECT_FALSE(entries(*menu)[0]->isChecked());
    entries(*menu)[0]->trigger();

    QSettings ini(settingsFile(), QSettings::IniFormat);
    EXPECT_EQ(ini.value(QStringLiteral("Ports/COM7")).toString(), stablePath());
    EXPECT_EQ(ini.value(QStringLiteral("Ports/COM3")).toString(), QStringLiteral("/dev/ttyUSB9"));
    EXPECT_EQ(ini.value(QStringLiteral("Bench/Station")).toString(), QStringLiteral("4"));
    EXPECT_EQ(ini.value(QStringLiteral("ComPort")).toString(), QStringLiteral("2"));
    EXPECT_TRUE(logText().contains(QStringLiteral("COM7 opens ") + stablePath()));

    btnCon->click();
    ASSERT_TRUE(window->PortOpen()) << window->windowTitle().toStdString();
    window->Send('i', false);
    EXPECT_EQ(pty.readAtLeast(1), QByteArray("i"));
    menu.reset(window->createPortMenu());
    EXPECT_TRUE(entries(*menu)[0]->isChecked()) << "what the number opens now is ticked";
    EXPECT_FALSE(entries(*menu)[1]->isChecked());

    // No valid number: nothing to map. A read-only file stays as it is, and the log says so.
    const QByteArray contents = stored();
    portBox->setText(QStringLiteral("abc"));
    menu.reset(window->createPortMenu());
    for (QAction *entry : entries(*menu)) {
        EXPECT_FALSE(entry->isEnabled());
        entry->trigger();
    }
    portBox->setText(QStringLiteral("5"));
    QFile::setPermissions(settingsFile(), QFileDevice::ReadOwner);
    menu.reset(window->createPortMenu());
    entries(*menu)[1]->trigger();
    EXPECT_EQ(stored(), contents);
    EXPECT_TRUE(logText().contains(QStringLiteral("COM5 is unchanged")));
}

TEST_F(PortMenuTest, theMenuKeyShowsTheDevicesAboveTheBoxsEditingEntries) {
    portBox->setText(QStringLiteral("4"));
    window->show();
    const QPoint middle = portBox->rect().center();
    QContextMenuEvent key(QContextMenuEvent::Keyboard, middle, portBox->mapToGlobal(middle));
    QApplication::sendEvent(portBox, &key);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(entries(*menu).size(), 2);
    EXPECT_EQ(entries(*menu)[0]->data().toString(), stablePath());
    EXPECT_GT(menu->actions().size(), 2 + 1 + 1) << "title, devices, separator, editing entries";
    menu->close();
}

TEST_F(PortMenuTest, aConnectThatFindsNoDeviceNamesThePresentOnesOnce) {
    const auto connectTo = [&](int number, const QString &device) {
        ASSERT_TRUE(ModuleReg::mapPortDevice(number, device));
        window->log().clearLog();
        portBox->setText(QString::number(number));
        btnCon->click();
        ASSERT_FALSE(window->PortOpen());
    };
    connectTo(4, machine.dev("ttyUSB5"));
    EXPECT_EQ(logText().count(QStringLiteral("Right-click")), 1) << logText().toStdString();
    EXPECT_TRUE(logText().contains("COM4 opens " + machine.dev("ttyUSB5")));
    EXPECT_TRUE(logText().contains(stablePath() + " -> "));
    EXPECT_TRUE(logText().contains(machine.dev("ttyUSB3")));

    connectTo(5, machine.dev()); // there, but refuses: naming others does not help
    EXPECT_FALSE(logText().contains(QStringLiteral("Serial devices present")))
        << logText().toStdString();
    EXPECT_TRUE(logText().contains(QStringLiteral("Is a directory. Right-click")));
    window->setDeviceLister([] { return QList<SerialDevice>{}; });
    connectTo(4, machine.dev("ttyUSB5"));
    EXPECT_TRUE(logText().endsWith(QStringLiteral("No serial device is present: plug the adapter "
                                                  "in, then press Connect again.")))
        << logText().toStdString();
}
