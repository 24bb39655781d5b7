#include "support/wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents();
        QThread::msleep(1);
    }
    return true;
}

void PumpEvents(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

QString SourceDir() {
    return qEnvironmentVariable("VELMORA_TEST_SOURCE_DIR");
}

} // namespace testsupport
