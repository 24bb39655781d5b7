#include "app/versioninfo.h"
#include "platform/syserror.h"
#include "support/wait.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>

namespace {

QString Fixture(const char* name) {
    return testsupport::SourceDir() + QStringLiteral("/../platform/fixtures/pe/") +
           QLatin1String(name);
}

bool AllEmpty(const TEXEVersionData& d) {
    for (const QString* s :
         {&d.CompanyName, &d.FileDescription, &d.FileVersion, &d.InternalName, &d.LegalCopyright,
          &d.LegalTrademarks, &d.OriginalFileName, &d.ProductName, &d.ProductVersion, &d.Comments,
          &d.PrivateBuild, &d.SpecialBuild})
        if (!s->isEmpty())
            return false;
    return true;
}

} // namespace

TEST(VersionInfo, StringTableKeyIsFourUpperCaseHexDigitsEach) {
    EXPECT_EQ(VersionStringTableKey(0x0409, 0x04E4), QStringLiteral("040904E4"));
    EXPECT_EQ(VersionStringTableKey(0x0007, 0x0000), QStringLiteral("00070000"));
    EXPECT_EQ(VersionStringTableKey(0xFFFF, 0xabcd), QStringLiteral("FFFFABCD"));
}

TEST(VersionInfo, ReadsTheProgramsOwnVersionRecord) {
    TEXEVersionData d;
    GetEXEVersionData(QStringLiteral(VELMORA_EXECUTABLE), d);
    EXPECT_EQ(d.CompanyName, QStringLiteral("QUENTAR"));
    EXPECT_EQ(d.ProductName, QStringLiteral("Velmora"));
    EXPECT_EQ(d.FileVersion, QStringLiteral("1.3.0.0"));
    EXPECT_EQ(d.ProductVersion, QStringLiteral("1.3.0.0"));
    EXPECT_EQ(d.OriginalFileName, QStringLiteral("velmora")); // stored as "OriginalFilename"
    EXPECT_FALSE(d.FileDescription.isEmpty());
    EXPECT_FALSE(d.LegalCopyright.isEmpty());
}

TEST(VersionInfo, FillsEveryFieldOfAnOrdinaryResource) {
    TEXEVersionData d;
    GetEXEVersionData(Fixture("ordinary.exe"), d);
    EXPECT_EQ(d.CompanyName, QStringLiteral("Fixture Company"));
    EXPECT_EQ(d.FileDescription, QStringLiteral("Ordinary fixture"));
    EXPECT_EQ(d.FileVersion, QStringLiteral("2.5.1.7"));
    EXPECT_EQ(d.InternalName, QStringLiteral("ordinary"));
    EXPECT_EQ(d.LegalCopyright, QStringLiteral("Copyright (C) Fixture Company"));
    EXPECT_EQ(d.LegalTrademarks, QStringLiteral("Fixture(TM)"));
    EXPECT_EQ(d.OriginalFileName, QStringLiteral("ordinary.exe"));
    EXPECT_EQ(d.ProductName, QStringLiteral("Fixture Product"));
    EXPECT_EQ(d.ProductVersion, QStringLiteral("2.5"));
    EXPECT_EQ(d.Comments, QStringLiteral("Caf\u00e9 comments"));
    EXPECT_EQ(d.PrivateBuild, QStringLiteral("private-1"));
    EXPECT_EQ(d.SpecialBuild, QStringLiteral("special-2"));
}

TEST(VersionInfo, OnlyTheFirstTranslationCounts) {
    // The first translation (0x0407) has no string table; the second one's is never read.
    TEXEVersionData d;
    d.Comments = QStringLiteral("kept");
    GetEXEVersionData(Fixture("twotranslations.exe"), d);
    EXPECT_TRUE(d.CompanyName.isEmpty());
    EXPECT_TRUE(d.ProductName.isEmpty());
    EXPECT_EQ(d.Comments, QStringLiteral("kept")); // missing strings leave fields alone
}

TEST(VersionInfo, MissingStringsStayEmptyAndNeutralKeyIsFound) {
    TEXEVersionData d;
    GetEXEVersionData(Fixture("nobuilds.exe"), d); // translation 0x0007 / 0x0000
    EXPECT_TRUE(d.PrivateBuild.isEmpty());
    EXPECT_TRUE(d.SpecialBuild.isEmpty());
    for (const QString* s :
         {&d.CompanyName, &d.FileDescription, &d.FileVersion, &d.InternalName, &d.LegalCopyright,
          &d.LegalTrademarks, &d.OriginalFileName, &d.ProductName, &d.ProductVersion, &d.Comments})
        EXPECT_FALSE(s->isEmpty());
    EXPECT_EQ(d.CompanyName, QStringLiteral("Neutral Company"));
}

TEST(VersionInfo, FilesWithoutVersionInformationRaiseTheOsError) {
    QTemporaryDir dir;
    struct TCase {
        QString Path;
        int Code;
    };
    const TCase cases[] = {
        {Fixture("noversion.exe"), ENODATA},
        {dir.filePath(QStringLiteral("missing.exe")), ENOENT},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Path.toStdString());
        TEXEVersionData d;
        try {
            GetEXEVersionData(c.Path, d);
            ADD_FAILURE() << "no error raised";
        } catch (const EOSError& e) {
            EXPECT_EQ(e.ErrorCode(), c.Code);
            EXPECT_EQ(e.Message(), QStringLiteral("System Error.  Code: %1.\r\n%2")
                                       .arg(c.Code)
                                       .arg(platform::SysErrorMessage(c.Code)));
        }
        EXPECT_TRUE(AllEmpty(d));
    }
}
