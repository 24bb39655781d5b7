#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace platform {

// The queue itself lives here, under a standard mutex, and the application's event loop is only
// told, once per entry, to run the oldest one. Every entry thus runs in the order it was
// queued, also when an entry opens a nested event loop (a message box), and the hand-over from
// the posting thread to the main thread is visible to thread checkers. The application object
// receives the wake-ups: its thread is the main thread, and an error that escapes an entry
// passes through its notify(), where the program's default error report catches it.

namespace {

std::mutex QueueLock;
std::deque<std::function<void()>> Queue;

void RunOldest() {
    std::function<void()> fn;
    {
        std::lock_guard lock(QueueLock);
        if (Queue.empty())
            return;
        fn = std::move(Queue.front());
        Queue.pop_front();
    }
    fn();
}

const QEvent::Type WakeUp = QEvent::Type(QEvent::registerEventType());

// Receives one wake-up event per queued entry, in the application's thread.
class TWaker final : public QObject {
public:
    using QObject::QObject;

protected:
    bool event(QEvent* e) override {
        // The wake-up event was made before its poster released the queue's lock; taking the
        // lock before looking at the event makes that order visible to thread checkers too.
        { std::lock_guard lock(QueueLock); }
        if (e->type() != WakeUp)
            return QObject::event(e);
        RunOldest();
        return true;
    }
};

// Created by the first delivery, on whichever thread, and handed to the application's thread;
// it lives as long as the process (deliberately never deleted).
QObject* Waker(QCoreApplication* app) {
    static TWaker* const waker = [app] {
        auto* object = new TWaker;
        object->moveToThread(app->thread());
        return object;
    }();
    return waker;
}

bool Enqueue(std::function<void()> fn) {
    auto* app = QCoreApplication::instance();
    if (!app) {
        qWarning("No application object: a delivery to the main thread was dropped");
        return false;
    }
    QObject* waker = Waker(app);
    auto* event = new QEvent(WakeUp); // handed to Qt's queue, which deletes it
    {
        std::lock_guard lock(QueueLock);
        Queue.push_back(std::move(fn));
    }
    QCoreApplication::postEvent(waker, event);
    return true;
}

} // namespace

bool IsMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void PostToMainThread(std::function<void()> fn) {
    Enqueue(std::move(fn));
}

void SendToMainThread(std::function<void()> fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    struct Done {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    const bool queued = Enqueue([done, fn = std::move(fn)] {
        std::exception_ptr error;
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(done->lock);
            done->done = true;
        }
        done->changed.notify_all();
        if (error)
            std::rethrow_exception(error); // reported on the main thread, as a post would be
    });
    if (!queued)
        return;
    std::unique_lock lock(done->lock);
    done->changed.wait(lock, [&] { return done->done; });
}

} // namespace platform
