#include "app/frmProg.h"
#include "platform/SignalWatcher.h"
#include "platform/StandardDescriptors.h"

#include <QApplication>
#include <csignal>

int main(int argc, char *argv[]) {
    reopenClosedStandardDescriptors();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnix-pellora"));
    QApplication::setOrganizationName(QStringLiteral("Tarnix"));

    frmProg window;
    // A logout or a system shut-down closes the window the same way as its close box, so that
    // shut-down (run stopped, port closed, notifications removed) runs before the program ends.
    SignalWatcher shutdown({SIGTERM, SIGHUP, SIGINT});
    QObject::connect(&shutdown, &SignalWatcher::received, &window, [&window] { window.close(); });
    window.show();
    return QApplication::exec();
}
