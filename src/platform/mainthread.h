#pragma once

#include <functional>

// Delivery of work to the main thread: one first-in first-out queue run by the application's
// event loop. Both ways in share that queue, so every delivery keeps its order relative to
// every other, whichever thread posted it. Any thread may call these; the functions run on the
// thread that owns the QCoreApplication.
namespace platform {

// Queues fn for the main thread and returns at once.
void PostToMainThread(std::function<void()> fn);

// Queues fn for the main thread and waits until it has run. Called on the main thread, it runs
// fn at once (callers there must not rely on earlier posts having run). The caller must not hold
// anything the main thread may be waiting for.
void SendToMainThread(std::function<void()> fn);

bool IsMainThread();

} // namespace platform
