#pragma once

#include <functional>

// Delivery of work to the main thread: one first-in first-out queue run by the application's
// event loop. Both ways in share that queue, so every delivery keeps its order relative to
// every other, whichever thread posted it.
namespace platform {

// Queues fn for the main thread and returns at once.
void PostToMainThread(std::function<void()> fn);

// Queues fn for the main thread and waits until it has run. Called on the main thread, it runs
// fn at once (after nothing: callers there must not rely on earlier posts having run).
void SendToMainThread(std::function<void()> fn);

bool IsMainThread();

} // namespace platform
