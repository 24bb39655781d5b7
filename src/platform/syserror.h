#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Error objects in the program's own hierarchy: a class name and a message text. The class
// name is part of what some message boxes show, so every class reports its own.
class Exception : public std::exception {
public:
    explicit Exception(QString message);
    const QString& Message() const noexcept { return FMessage; }
    virtual const char* ClassName() const noexcept { return "Exception"; }
    const char* what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

#define VELMORA_DECLARE_ERROR(Name, Base)                                                          \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        const char* ClassName() const noexcept override { return #Name; }                          \
    }

VELMORA_DECLARE_ERROR(EAssertionFailed, Exception);

// An operating-system call failed; carries the error number (errno here).
class EOSError : public Exception {
public:
    EOSError(int code, QString message) : Exception(std::move(message)), FErrorCode(code) {}
    const char* ClassName() const noexcept override { return "EOSError"; }
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

namespace platform {

// The system's text for an error number, with trailing blanks, control characters and full
// stops removed, so that callers can embed it in sentences of their own.
QString SysErrorMessage(int code);

// Builds the operating-system error for a failed call: "System Error.  Code: %d.\r\n%s" with the
// system's text, or "A call to an OS function failed" when no code was reported.
EOSError MakeOSError(int code);

// Converts any escaped exception into its message text (for reports and logs).
QString ExceptionMessage(const std::exception_ptr& error);
const char* ExceptionClassName(const std::exception_ptr& error);

} // namespace platform
