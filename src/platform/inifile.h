#pragma once

#include "platform/syserror.h"

#include <QString>

VELMORA_DECLARE_ERROR(EIniFileException, Exception);

// The private-profile (INI file) calls. Section and key names match regardless of letter case;
// the first matching section and key win. Each call opens, reads and closes the file: nothing
// is cached between calls.
namespace platform {

// Longest value a read returns, in UTF-16 units; longer values come back cut.
inline constexpr qsizetype MaxProfileValueLength = 2047;

// The key's value (blanks around it and one pair of enclosing quotes removed, and cut before a
// NUL or a lone CR in it), or Default when the file, the section or the key is missing or the
// file can't be read.
QString ReadProfileString(const QString& FileName, const QString& Section, const QString& Key,
                          const QString& Default);

// Stores the value, creating the file, the section or the key as needed. Only the key's own
// line changes; every other byte of the file is kept. The new file replaces the old one
// atomically and is on disk when the call returns. Raises EIniFileException "Unable to write to
// <full path>" on failure, including a section, key or value that holds a line break or a NUL
// (it could not be stored without corrupting the file).
void WriteProfileString(const QString& FileName, const QString& Section, const QString& Key,
                        const QString& Value);

} // namespace platform
