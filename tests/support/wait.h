#pragma once

#include <QString>

#include <functional>

namespace testsupport {

// Runs the main thread's event loop until pred() holds or timeoutMs has passed; returns pred().
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000);
// Runs the event loop for about ms milliseconds.
void PumpEvents(int ms);

// The tests' source folder, where committed fixtures live.
QString SourceDir();

} // namespace testsupport
