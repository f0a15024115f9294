// Must not compile: the firmware formats link Qt Core only, so the serial port is out of reach.
#include <QSerialPort>

int firmwareProbe() {
    return sizeof(QSerialPort);
}
