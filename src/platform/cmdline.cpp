#include "platform/cmdline.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool IsBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

bool NeedsQuotes(const QString& argument) {
    if (argument.isEmpty())
        return true;
    for (const QChar c : argument) {
        switch (c.unicode()) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case '\v':
        case '"':
            return true;
        default:
            break;
        }
    }
    return false;
}

bool IsExecutableFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return ::access(native.constData(), X_OK) == 0;
}

bool Exists(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

QStringList SearchFolders() {
    QStringList folders;
    // Without an application object there is no program folder to ask for.
    if (QCoreApplication::instance())
        folders << QCoreApplication::applicationDirPath();
    folders << QDir::currentPath();

    QByteArray path = qgetenv("PATH");
    if (!qEnvironmentVariableIsSet("PATH")) {
        // What execvp falls back on, too.
        const size_t size = ::confstr(_CS_PATH, nullptr, 0);
        if (size > 0) {
            path.resize(qsizetype(size));
            ::confstr(_CS_PATH, path.data(), size);
            path.truncate(qsizetype(size) - 1);
        }
    }
    for (const QByteArray& entry : path.split(':')) {
        if (!entry.isEmpty())
            folders << QFile::decodeName(entry);
    }
    return folders;
}

QString FindExactly(const QString& name, const QStringList& folders) {
    for (const QString& folder : folders) {
        const QString candidate = QDir(folder).absoluteFilePath(name);
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return {};
}

} // namespace

QStringList SplitCommandLine(const QString& commandLine) {
    QStringList arguments;
    const qsizetype n = commandLine.size();
    qsizetype i = 0;

    while (i < n && IsBlank(commandLine.at(i)))
        ++i;
    if (i == n)
        return arguments;

    // The program name: no backslash processing, quotes only around the whole of it.
    QString program;
    if (commandLine.at(i) == QLatin1Char('"')) {
        ++i;
        while (i < n && commandLine.at(i) != QLatin1Char('"'))
            program += commandLine.at(i++);
        if (i < n)
            ++i;
    } else {
        while (i < n && !IsBlank(commandLine.at(i)))
            program += commandLine.at(i++);
    }
    arguments << program;

    for (;;) {
        while (i < n && IsBlank(commandLine.at(i)))
            ++i;
        if (i == n)
            break;

        QString argument;
        bool inQuotes = false;
        while (i < n) {
            qsizetype backslashes = 0;
            while (i < n && commandLine.at(i) == QLatin1Char('\\')) {
                ++backslashes;
                ++i;
            }
            if (i < n && commandLine.at(i) == QLatin1Char('"')) {
                argument += QString(backslashes / 2, QLatin1Char('\\'));
                if (backslashes % 2 == 1) {
                    argument += QLatin1Char('"');
                } else if (inQuotes && i + 1 < n && commandLine.at(i + 1) == QLatin1Char('"')) {
                    argument += QLatin1Char('"');
                    ++i;
                } else {
                    inQuotes = !inQuotes;
                }
                ++i;
                continue;
            }
            argument += QString(backslashes, QLatin1Char('\\'));
            if (i == n || (!inQuotes && IsBlank(commandLine.at(i))))
                break;
            argument += commandLine.at(i++);
        }
        arguments << argument;
    }
    return arguments;
}

QString QuoteArgument(const QString& argument) {
    if (!NeedsQuotes(argument))
        return argument;

    QString quoted;
    quoted.reserve(argument.size() * 2 + 2);
    quoted += QLatin1Char('"');
    const qsizetype n = argument.size();
    for (qsizetype i = 0; i < n;) {
        qsizetype backslashes = 0;
        while (i < n && argument.at(i) == QLatin1Char('\\')) {
            ++backslashes;
            ++i;
        }
        if (i == n) {
            // Doubled, so that the closing quote stays a closing quote.
            quoted += QString(backslashes * 2, QLatin1Char('\\'));
        } else if (argument.at(i) == QLatin1Char('"')) {
            quoted += QString(backslashes * 2 + 1, QLatin1Char('\\'));
            quoted += QLatin1Char('"');
            ++i;
        } else {
            quoted += QString(backslashes, QLatin1Char('\\'));
            quoted += argument.at(i++);
        }
    }
    quoted += QLatin1Char('"');
    return quoted;
}

QString FindProgram(const QString& name) {
    if (name.isEmpty())
        return {};

    const bool hasExeSuffix = name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive) &&
                              name.size() > 4 && name.at(name.size() - 5) != QLatin1Char('/');
    const QString withoutExe = hasExeSuffix ? name.left(name.size() - 4) : QString();

    if (name.contains(QLatin1Char('/'))) {
        const QString path = QFileInfo(name).absoluteFilePath();
        if (IsExecutableFile(path))
            return path;
        if (hasExeSuffix) {
            const QString stripped = QFileInfo(withoutExe).absoluteFilePath();
            if (IsExecutableFile(stripped))
                return stripped;
        }
        return Exists(path) ? path : QString();
    }

    const QStringList folders = SearchFolders();
    QString found = FindExactly(name, folders);
    if (found.isEmpty() && hasExeSuffix)
        found = FindExactly(withoutExe, folders);
    return found;
}

} // namespace platform
