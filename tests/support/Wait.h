#pragma once

#include <functional>

class QProcess;

// Processes Qt events until `done` holds; false when `timeoutMs` passed first.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 3000);

// Waits for `process` to end; true also when it had ended already. QProcess::waitForFinished
// answers false for a process that is no longer running, which any wait that processed events
// since (waitUntil, a run of the window) may have noticed first.
bool waitForEnd(QProcess &process, int timeoutMs);
