#pragma once

#include <QByteArray>
#include <sys/types.h>

// A virtual X display with a window manager on it, for the window as it runs on a desktop: the
// manager redraws the title bar for every new caption, and every frame of the log goes through the
// X server. Both are child processes of the benchmark, stopped when this goes.
class VirtualDisplay {
public:
    VirtualDisplay() = default;
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;

    // Starts Xvfb on a free display, sets DISPLAY to it and starts `windowManager` there; false,
    // with the reason on stderr, when either cannot be started. Call before the QApplication.
    bool start(const char *windowManager);
    const QByteArray &name() const { return name_; }

private:
    pid_t server_ = -1;
    pid_t manager_ = -1;
    QByteArray name_;
};
