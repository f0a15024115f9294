#ifdef PELLORA_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Every test binary runs with an application object (widget-capable, on the offscreen platform, for
// the tests of the window's room) and with a configuration and a state folder of its own, so that
// no test touches the user's real settings or run history (the programs a test starts inherit
// both), and without a session bus.
// The captions follow the locale (numbers, times, the system's error texts), so every test runs in
// the C locale, whatever the shell that started it; the programs the tests start inherit it.
int main(int argc, char **argv) {
    qputenv("LC_ALL", "C.UTF-8");
    qunsetenv("LANGUAGE");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    // No session bus: a run's end must never reach the desktop of whoever runs the tests. A test
    // that wants notifications starts a bus of its own.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + state.filePath("no-bus").toLocal8Bit());
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
