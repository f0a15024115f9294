// Run by the fault tests as another user: a window presses Connect on the port number given, prints
// its caption and its log, waits for a line on stdin (the test changes the device meanwhile) and
// tries again.
#include "app/LogView.h"
#include "app/frmProg.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    frmProg window;
    window.findChild<QLineEdit *>(QStringLiteral("txtComPort"))
        ->setText(QString::fromLocal8Bit(argv[1]));
    auto *connect = window.findChild<QPushButton *>(QStringLiteral("btnCon"));
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) {
            std::string line;
            std::getline(std::cin, line);
        }
        if (window.PortOpen())
            connect->click();
        connect->click();
        // The caption, then the log on one line.
        std::printf("%s\n%s\n", qPrintable(window.windowTitle()),
                    qPrintable(window.log().text().replace(QLatin1Char('\n'), QLatin1Char('|'))));
        std::fflush(stdout);
        window.log().clearLog();
    }
    return 0;
}
