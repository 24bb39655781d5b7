#include "platform/syserror.h"

#include <cstring>

Exception::Exception(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toUtf8()) {}

namespace platform {

QString SysErrorMessage(int code) {
    // strerror_r has two incompatible signatures; the GNU one may return a static string
    // instead of filling the buffer.
    char buffer[256] = {};
    const char* text = strerror_r(code, buffer, sizeof buffer);
    QString message = QString::fromLocal8Bit(text ? text : "");
    qsizetype end = message.size();
    while (end > 0) {
        const QChar c = message.at(end - 1);
        if (c.unicode() <= 32 || c == QLatin1Char('.'))
            --end;
        else
            break;
    }
    message.truncate(end);
    return message;
}

EOSError MakeOSError(int code) {
    if (code == 0)
        return EOSError(0, QStringLiteral("A call to an OS function failed"));
    return EOSError(
        code,
        QStringLiteral("System Error.  Code: %1.\r\n%2").arg(code).arg(SysErrorMessage(code)));
}

QString ExceptionMessage(const std::exception_ptr& error) {
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

const char* ExceptionClassName(const std::exception_ptr& error) {
    if (!error)
        return "";
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.ClassName();
    } catch (...) {
        return "Exception";
    }
}

} // namespace platform
