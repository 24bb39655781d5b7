#pragma once

#include "platform/inifile.h"
#include "platform/shellfolders.h"

#include <QString>

using platform::GetShellFolderPath;

// True when a file can be created in Folder: creates "chk.tmp" there exclusively and removes it
// at once. An existing "chk.tmp" makes the answer false.
bool IsFolderWritable(const QString& Folder);

// The folder for settings.ini, with a trailing "/": exeFolder when it is writable, otherwise
// <config>/<company>/<product>/ with its missing levels created. When the per-user config
// folder can't be determined, exeFolder is kept (writes then fail visibly instead of creating
// folders at the root of the file system).
QString ChooseSettingsFolder(const QString& exeFolder, const QString& company,
                             const QString& product);
// The same with the per-user config folder given (empty when it can't be determined).
QString ChooseSettingsFolder(const QString& exeFolder, const QString& company,
                             const QString& product, const QString& configFolder);

// The settings file. Holds only its path: every read and write goes to the file at once.
// Main thread only.
class TSettingsIni {
public:
    explicit TSettingsIni(QString fileName) : FFileName(std::move(fileName)) {}

    QString FileName() const { return FFileName; }
    // The stored value, at most 2047 characters, or Default when the key or the file is missing.
    QString ReadString(const QString& Section, const QString& Ident, const QString& Default) const;
    // Raises EIniFileException "Unable to write to <full path>" on failure.
    void WriteString(const QString& Section, const QString& Ident, const QString& Value);

private:
    QString FFileName;
};
