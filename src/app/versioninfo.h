#pragma once

#include <QString>

// The twelve standard strings of an executable's version resource. The caller hands it in
// empty; GetEXEVersionData sets only the fields the resource holds.
struct TEXEVersionData {
    QString CompanyName;
    QString FileDescription;
    QString FileVersion;
    QString InternalName;
    QString LegalCopyright;
    QString LegalTrademarks;
    QString OriginalFileName;
    QString ProductName;
    QString ProductVersion;
    QString Comments;
    QString PrivateBuild;
    QString SpecialBuild;
};

// Reads the string table of the file's first translation into Data. Raises EOSError when the
// file has no version block, the block can't be read or it has no translation table.
void GetEXEVersionData(const QString& FileName, TEXEVersionData& Data);

// The string-table key of a translation: language and code page as four upper-case hex digits
// each ("040904E4").
QString VersionStringTableKey(quint16 language, quint16 codePage);
