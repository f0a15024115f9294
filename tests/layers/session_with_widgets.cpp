// Must not compile: the session library links Qt Core only, so a widget header is out of reach.
#include <QWidget>

int sessionProbe() {
    return sizeof(QWidget);
}
