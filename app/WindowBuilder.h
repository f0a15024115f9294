#pragma once

class LogView;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The window's controls, by their names in the window.
struct WindowControls {
    QGroupBox *Frame9 = nullptr;
    QLineEdit *txtRefresh = nullptr;
    QLineEdit *txtSpeed = nullptr;
    QLineEdit *txtComPort = nullptr;
    QPushButton *btnCon = nullptr;
    LogView *txtbuffer = nullptr;
    QLabel *lblFilename = nullptr;
    QPushButton *btnopenFile = nullptr;
    QPushButton *btnFlash = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command4 = nullptr;
    QComboBox *Combospeed = nullptr;
    QLabel *Label1 = nullptr;
    QPushButton *Command5 = nullptr;
};

// Makes every control of WindowLayout's table on `window`: kind, place, caption, tooltip,
// accessible name, first enabled and visible state, tab order; the speed box has the first focus.
// A hidden control is kept from assistive technology.
WindowControls buildControls(QWidget &window);
