#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

namespace platform {
namespace {

// Lives in the application's thread; queued invocations on it form the one delivery queue.
QObject* Dispatcher()
{
    static QObject* const dispatcher = [] {
        auto* object = new QObject; // lives as long as the process; never deleted on purpose
        if (auto* app = QCoreApplication::instance(); app && object->thread() != app->thread())
            object->moveToThread(app->thread());
        return object;
    }();
    return dispatcher;
}

} // namespace

bool IsMainThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void PostToMainThread(std::function<void()> fn)
{
    QMetaObject::invokeMethod(Dispatcher(), std::move(fn), Qt::QueuedConnection);
}

void SendToMainThread(std::function<void()> fn)
{
    if (IsMainThread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(Dispatcher(), std::move(fn), Qt::BlockingQueuedConnection);
}

} // namespace platform
