#include "app/ShutdownSignals.h"
#include "app/frmProg.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarnix-pellora"));
    QApplication::setOrganizationName(QStringLiteral("Tarnix"));

    frmProg window;
    // A logout or a system shut-down closes the window the same way as its close box.
    ShutdownSignals signals_(&window);
    window.show();
    return QApplication::exec();
}
