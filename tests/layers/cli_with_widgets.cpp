// Must not compile: the command line's library links Qt Core only.
#include <QApplication>

int cliProbe() {
    return sizeof(QApplication);
}
