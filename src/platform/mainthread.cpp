#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QThread>

namespace platform {

// The application object is the receiver of every delivery: its thread is the main thread, its
// posted events form the one queue, and an error that escapes a delivery passes through its
// notify(), where the program's default error report catches it.

bool IsMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void PostToMainThread(std::function<void()> fn) {
    auto* app = QCoreApplication::instance();
    if (!app) {
        qWarning("PostToMainThread: no application object; delivery dropped");
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void SendToMainThread(std::function<void()> fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto* app = QCoreApplication::instance();
    if (!app) {
        qWarning("SendToMainThread: no application object; delivery dropped");
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn), Qt::BlockingQueuedConnection);
}

} // namespace platform
