#include "app/versioninfo.h"

#include "platform/syserror.h"
#include "platform/versionresource.h"

#include <QtEndian>

#include <cerrno>
#include <memory>

QString VersionStringTableKey(quint16 language, quint16 codePage) {
    return QStringLiteral("%1%2")
        .arg(language, 4, 16, QLatin1Char('0'))
        .arg(codePage, 4, 16, QLatin1Char('0'))
        .toUpper();
}

void GetEXEVersionData(const QString& FileName, TEXEVersionData& Data) {
    const quint32 size = platform::GetFileVersionInfoSize(FileName);
    if (size == 0)
        throw platform::MakeOSError(errno);

    auto buffer = std::make_unique<uchar[]>(size);
    if (!platform::GetFileVersionInfo(FileName, size, buffer.get()))
        throw platform::MakeOSError(errno);

    const void* value = nullptr;
    quint32 length = 0;
    if (!platform::VerQueryValue(buffer.get(), size, QStringLiteral("\\VarFileInfo\\Translation\\"),
                                 &value, &length))
        throw platform::MakeOSError(errno);
    // Only the first language/code-page pair counts; an array too short to hold one is as
    // good as none.
    if (length < 4)
        throw platform::MakeOSError(platform::ErrDamagedVersionBlock);
    const auto* pair = static_cast<const uchar*>(value);
    const QString key = VersionStringTableKey(qFromLittleEndian<quint16>(pair),
                                              qFromLittleEndian<quint16>(pair + 2));

    struct TField {
        const char16_t* Name;
        QString TEXEVersionData::*Member;
    };
    static constexpr TField Fields[] = {
        {u"\\CompanyName", &TEXEVersionData::CompanyName},
        {u"\\FileDescription", &TEXEVersionData::FileDescription},
        {u"\\FileVersion", &TEXEVersionData::FileVersion},
        {u"\\InternalName", &TEXEVersionData::InternalName},
        {u"\\LegalCopyright", &TEXEVersionData::LegalCopyright},
        {u"\\LegalTrademarks", &TEXEVersionData::LegalTrademarks},
        {u"\\OriginalFileName", &TEXEVersionData::OriginalFileName},
        {u"\\ProductName", &TEXEVersionData::ProductName},
        {u"\\ProductVersion", &TEXEVersionData::ProductVersion},
        {u"\\Comments", &TEXEVersionData::Comments},
        {u"\\PrivateBuild", &TEXEVersionData::PrivateBuild},
        {u"\\SpecialBuild", &TEXEVersionData::SpecialBuild},
    };
    const QString prefix = QStringLiteral("\\StringFileInfo\\") + key;
    for (const TField& field : Fields) {
        if (!platform::VerQueryValue(buffer.get(), size, prefix + QString::fromUtf16(field.Name),
                                     &value, &length))
            continue; // a missing string is no error
        // length counts the terminator; the string ends at the first null within it.
        const auto* text = static_cast<const uchar*>(value);
        QString result;
        for (quint32 i = 0; i + 1 < length; ++i) {
            const quint16 c = qFromLittleEndian<quint16>(text + 2 * i);
            if (c == 0)
                break;
            result.append(QChar(c));
        }
        Data.*field.Member = result;
    }
}
