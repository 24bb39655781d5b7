#include "platform/tools/versionblockwriter.h"
#include "platform/versionresource.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

namespace {

using Bytes = std::vector<std::uint8_t>;

QString Fixture(const char* name) {
    return testsupport::SourceDir() + QStringLiteral("/fixtures/pe/") + QLatin1String(name);
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

QString WriteTemp(const QTemporaryDir& dir, const QByteArray& bytes, const char* name = "file") {
    const QString path = dir.filePath(QLatin1String(name));
    // A new file each time: rewriting one in place makes ext4 flush it to disk on close.
    QFile::remove(path);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    return path;
}

quint32 Get32(const QByteArray& b, qsizetype at) {
    return qFromLittleEndian<quint32>(b.constData() + at);
}
void Put16(QByteArray& b, qsizetype at, quint16 v) {
    qToLittleEndian(v, b.data() + at);
}
void Put32(QByteArray& b, qsizetype at, quint32 v) {
    qToLittleEndian(v, b.data() + at);
}
void Put64(QByteArray& b, qsizetype at, quint64 v) {
    qToLittleEndian(v, b.data() + at);
}

versionblock::TBlock SampleBlock() {
    versionblock::TBlock block;
    versionblock::ParseVersion("4.2.1.0", block.Fixed.FileVersionMS, block.Fixed.FileVersionLS);
    block.Translations = {{0x0409, 0x04E4}};
    block.Tables = {{u"040904E4", {{u"CompanyName", u"ACME"}, {u"OriginalFilename", u"a.exe"}}}};
    return block;
}

QByteArray ToBytes(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

// What a query found: the UTF-16 text (for text values) or the raw bytes.
struct TFound {
    bool Ok = false;
    int Error = 0;
    QByteArray Bytes;
    quint32 Length = 0;
};

TFound Query(const QByteArray& block, const QString& path) {
    // A buffer of exactly the block's size, so any overrun is seen by the address sanitizer.
    auto buffer = std::make_unique<uchar[]>(size_t(qMax<qsizetype>(block.size(), 1)));
    std::memcpy(buffer.get(), block.constData(), size_t(block.size()));
    const void* value = nullptr;
    TFound found;
    errno = 0;
    found.Ok =
        platform::VerQueryValue(buffer.get(), quint32(block.size()), path, &value, &found.Length);
    found.Error = errno;
    if (found.Ok) {
        const auto* p = static_cast<const uchar*>(value);
        const bool text = path.contains(QLatin1String("StringFileInfo"), Qt::CaseInsensitive);
        const quint32 bytes = text ? found.Length * 2 : found.Length;
        // Whatever the block says, a value never reaches past the buffer.
        if (found.Length > 0) {
            EXPECT_GE(p, buffer.get());
            EXPECT_LE(p + bytes, buffer.get() + block.size());
        }
        found.Bytes = QByteArray(reinterpret_cast<const char*>(p), bytes);
    }
    return found;
}

QString Text(const TFound& found) {
    QString s;
    for (qsizetype i = 0; i + 1 < found.Bytes.size(); i += 2) {
        const quint16 c = qFromLittleEndian<quint16>(found.Bytes.constData() + i);
        if (c == 0)
            break;
        s.append(QChar(c));
    }
    return s;
}

// A little ELF file: a null section, the version section and the section-name table.
QByteArray MakeElf(const QByteArray& block, bool is64, bool bigEndian) {
    const QByteArray names =
        QByteArray("\0", 1) + platform::VersionSectionName + '\0' + ".shstrtab" + '\0';
    const int hdr = is64 ? 64 : 52, shent = is64 ? 64 : 40;
    QByteArray f(hdr, '\0');
    const qsizetype blockAt = f.size();
    f += block;
    while (f.size() % 4)
        f += '\0';
    const qsizetype namesAt = f.size();
    f += names;
    while (f.size() % 8)
        f += '\0';
    const qsizetype shoff = f.size();
    f += QByteArray(3 * shent, '\0');

    auto put = [&](qsizetype at, quint64 v, int size) {
        for (int i = 0; i < size; ++i) {
            const int shift = bigEndian ? 8 * (size - 1 - i) : 8 * i;
            f[at + i] = char((v >> shift) & 0xFF);
        }
    };
    std::memcpy(f.data(),
                "\x7F"
                "ELF",
                4);
    f[4] = char(is64 ? 2 : 1);
    f[5] = char(bigEndian ? 2 : 1);
    f[6] = 1;
    put(16, 2, 2); // ET_EXEC
    if (is64) {
        put(0x28, quint64(shoff), 8);
        put(0x3A, quint64(shent), 2);
        put(0x3C, 3, 2);
        put(0x3E, 2, 2);
    } else {
        put(0x20, quint64(shoff), 4);
        put(0x2E, quint64(shent), 2);
        put(0x30, 3, 2);
        put(0x32, 2, 2);
    }
    auto section = [&](int index, quint32 name, quint32 type, qsizetype offset, qsizetype size) {
        const qsizetype s = shoff + index * shent;
        put(s, name, 4);
        put(s + 4, type, 4);
        if (is64) {
            put(s + 24, quint64(offset), 8);
            put(s + 32, quint64(size), 8);
        } else {
            put(s + 16, quint64(offset), 4);
            put(s + 20, quint64(size), 4);
        }
    };
    section(1, 1, 1 /* PROGBITS */, blockAt, block.size());
    section(2, quint32(qstrlen(platform::VersionSectionName) + 2), 3 /* STRTAB */, namesAt,
            names.size());
    return f;
}

struct TRead {
    quint32 Size = 0;
    int Error = 0;
    QByteArray Block;
};

TRead ReadBlock(const QString& path) {
    TRead r;
    errno = 0;
    r.Size = platform::GetFileVersionInfoSize(path);
    r.Error = errno;
    if (r.Size != 0) {
        auto buffer = std::make_unique<uchar[]>(r.Size);
        EXPECT_TRUE(platform::GetFileVersionInfo(path, r.Size, buffer.get()));
        r.Block = QByteArray(reinterpret_cast<const char*>(buffer.get()), r.Size);
    }
    return r;
}

// The file offsets of a PE fixture's headers, found the trusted way.
struct TPeLayout {
    qsizetype Coff = 0, Optional = 0, ResourceDir = 0, CountAt = 0, Sections = 0;
    qsizetype RsrcHeader = -1, Rsrc = 0, Level2 = 0, Level3 = 0, DataEntry = 0, Block = 0;
};

TPeLayout LayoutOf(const QByteArray& f) {
    TPeLayout l;
    const quint32 pe = Get32(f, 0x3C);
    l.Coff = pe + 4;
    l.Optional = pe + 24;
    const bool plus = qFromLittleEndian<quint16>(f.constData() + l.Optional) == 0x20B;
    l.CountAt = l.Optional + (plus ? 108 : 92);
    l.ResourceDir = l.Optional + (plus ? 112 : 96) + 16;
    const quint32 resourceRva = Get32(f, l.ResourceDir);
    const int sections = qFromLittleEndian<quint16>(f.constData() + l.Coff + 2);
    l.Sections = l.Optional + qFromLittleEndian<quint16>(f.constData() + l.Coff + 16);
    for (int i = 0; i < sections; ++i) {
        const qsizetype s = l.Sections + i * 40;
        if (Get32(f, s + 12) == resourceRva) {
            l.RsrcHeader = s;
            l.Rsrc = Get32(f, s + 20);
        }
    }
    auto sub = [&](qsizetype dir) { return l.Rsrc + (Get32(f, dir + 16 + 4) & 0x7FFFFFFF); };
    l.Level2 = sub(l.Rsrc);
    l.Level3 = sub(l.Level2);
    l.DataEntry = sub(l.Level3);
    l.Block = l.Rsrc + (Get32(f, l.DataEntry) - resourceRva);
    return l;
}

} // namespace

TEST(VersionBlockQuery, FindsValuesByPathRegardlessOfCaseAndTrailingBackslash) {
    const QByteArray block = ToBytes(versionblock::Build(SampleBlock()));

    const TFound root = Query(block, QStringLiteral("\\"));
    ASSERT_TRUE(root.Ok);
    ASSERT_EQ(root.Length, 52u);
    EXPECT_EQ(Get32(root.Bytes, 0), 0xFEEF04BDu);
    EXPECT_EQ(Get32(root.Bytes, 8), 0x00040002u);

    for (const char* path : {"\\VarFileInfo\\Translation", "\\VarFileInfo\\Translation\\",
                             "\\varfileinfo\\TRANSLATION"}) {
        const TFound t = Query(block, QLatin1String(path));
        ASSERT_TRUE(t.Ok) << path;
        EXPECT_EQ(t.Length, 4u);
        EXPECT_EQ(Get32(t.Bytes, 0), 0x04E40409u);
    }

    const TFound company = Query(block, QStringLiteral("\\StringFileInfo\\040904e4\\companyname"));
    ASSERT_TRUE(company.Ok);
    EXPECT_EQ(Text(company), QStringLiteral("ACME"));
    EXPECT_EQ(company.Length, 5u); // characters, the terminator included
    EXPECT_EQ(Text(Query(block, QStringLiteral("\\StringFileInfo\\040904E4\\OriginalFileName"))),
              QStringLiteral("a.exe"));

    const TFound missing = Query(block, QStringLiteral("\\StringFileInfo\\040904E4\\Comments"));
    EXPECT_FALSE(missing.Ok);
    EXPECT_EQ(missing.Error, platform::ErrNoVersionBlock);
    EXPECT_FALSE(Query(block, QStringLiteral("\\StringFileInfo\\04070000\\CompanyName")).Ok);
}

// Damaged blocks: each query fails (or finds a value inside the buffer), never reads outside it.
TEST(VersionBlockQuery, DamagedBlocksNeverReadOutsideTheBuffer) {
    const QByteArray good = ToBytes(versionblock::Build(SampleBlock()));
    const qsizetype stringInfo = good.indexOf(QByteArray("S\0t\0r\0i\0n\0g\0F", 14)) - 6;
    const qsizetype company = good.indexOf(QByteArray("C\0o\0m\0p\0a\0n\0y", 14)) - 6;
    const qsizetype lastString = good.indexOf(QByteArray("O\0r\0i\0g\0i\0n\0a\0l", 16)) - 6;
    const qsizetype translation = good.indexOf(QByteArray("T\0r\0a\0n\0s\0l", 12)) - 6;
    ASSERT_GT(stringInfo, 0);
    ASSERT_GT(company, 0);
    ASSERT_GT(lastString, 0);
    ASSERT_GT(translation, 0);

    struct TCase {
        const char* Name;
        std::function<void(QByteArray&)> Damage;
        const char* Path;
    };
    const TCase cases[] = {
        {"root longer than the buffer", [](QByteArray& b) { Put16(b, 0, 0xFFFF); }, "\\"},
        {"root shorter than its header", [](QByteArray& b) { Put16(b, 0, 4); }, "\\"},
        {"root fixed info longer than the root", [](QByteArray& b) { Put16(b, 2, 0xFFF0); }, "\\"},
        {"child of length zero", [&](QByteArray& b) { Put16(b, stringInfo, 0); },
         "\\StringFileInfo\\040904E4\\CompanyName"},
        {"child longer than its parent", [&](QByteArray& b) { Put16(b, company, 0x7FFF); },
         "\\StringFileInfo\\040904E4\\CompanyName"},
        {"key without terminator",
         [&](QByteArray& b) {
             for (qsizetype i = lastString + 6; i < b.size(); ++i)
                 b[i] = 'A';
         },
         "\\StringFileInfo\\040904E4\\Nothing"},
        {"string without terminator",
         [&](QByteArray& b) { // the last string's terminator, at its node's very end
             b[lastString + qFromLittleEndian<quint16>(b.constData() + lastString) - 2] = 'x';
         },
         "\\StringFileInfo\\040904E4\\OriginalFilename"},
        {"string marked binary, without terminator",
         [&](QByteArray& b) { // read as text all the same, so it must end inside its node
             Put16(b, lastString + 4, 0);
             b[lastString + qFromLittleEndian<quint16>(b.constData() + lastString) - 2] = 'x';
         },
         "\\StringFileInfo\\040904E4\\OriginalFilename"},
        {"translation longer than its node",
         [&](QByteArray& b) { Put16(b, translation + 2, 0x4000); }, "\\VarFileInfo\\Translation"},
        {"buffer cut in the middle", [](QByteArray& b) { b.truncate(b.size() / 2); },
         "\\StringFileInfo\\040904E4\\OriginalFilename"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QByteArray bad = good;
        c.Damage(bad);
        const TFound found = Query(bad, QLatin1String(c.Path));
        EXPECT_FALSE(found.Ok);
        EXPECT_TRUE(found.Error == platform::ErrDamagedVersionBlock ||
                    found.Error == platform::ErrNoVersionBlock)
            << found.Error;
    }

    // Every byte of the block overwritten in turn: queries stay inside the buffer (checked in
    // Query, and by the address sanitizer in that build).
    const char* paths[] = {"\\", "\\VarFileInfo\\Translation",
                           "\\StringFileInfo\\040904E4\\CompanyName",
                           "\\StringFileInfo\\040904E4\\OriginalFilename"};
    for (qsizetype i = 0; i < good.size(); ++i) {
        for (char v : {char(0x00), char(0xFF), char(0x03)}) {
            QByteArray bad = good;
            bad[i] = v;
            for (const char* path : paths)
                Query(bad, QLatin1String(path));
        }
    }
}

TEST(VersionFile, ReadsTheBlockOutOfElfFilesOfEitherClassAndByteOrder) {
    QTemporaryDir dir;
    const QByteArray block = ToBytes(versionblock::Build(SampleBlock()));
    for (bool is64 : {true, false}) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::string(is64 ? "ELF64" : "ELF32") + (big ? " big" : " little"));
            const TRead r = ReadBlock(WriteTemp(dir, MakeElf(block, is64, big)));
            EXPECT_EQ(r.Size, quint32(block.size()));
            EXPECT_EQ(r.Block, block);
        }
    }
}

TEST(VersionFile, ReadsTheOwnExecutablesBlock) {
    // This test program carries the build's version block, as the program does.
    const QString self = QCoreApplication::applicationFilePath();
    EXPECT_EQ(platform::GetFileVersion(self), 0x00010003u);
    EXPECT_EQ(platform::GetFileVersion(QStringLiteral("/proc/self/exe")), 0x00010003u);

    const TRead r = ReadBlock(self);
    ASSERT_GT(r.Size, 0u);
    EXPECT_EQ(Text(Query(r.Block, QStringLiteral("\\StringFileInfo\\040904E4\\CompanyName"))),
              QStringLiteral("QUENTAR"));
    const TFound translation = Query(r.Block, QStringLiteral("\\VarFileInfo\\Translation"));
    ASSERT_TRUE(translation.Ok);
    EXPECT_EQ(Get32(translation.Bytes, 0), 0x04E40409u);
}

TEST(VersionFile, ReadsPeResourcesOfPe32AndPe32Plus) {
    EXPECT_EQ(platform::GetFileVersion(Fixture("ordinary.exe")), 0x00020005u);        // PE32+
    EXPECT_EQ(platform::GetFileVersion(Fixture("twotranslations.exe")), 0x00010000u); // PE32

    const TRead r = ReadBlock(Fixture("ordinary.exe"));
    ASSERT_GT(r.Size, 0u);
    EXPECT_EQ(Text(Query(r.Block, QStringLiteral("\\StringFileInfo\\040904E4\\SpecialBuild"))),
              QStringLiteral("special-2"));
}

TEST(VersionFile, FilesWithoutABlockFailWithTheirErrorAndNoVersion) {
    QTemporaryDir dir;
    const QString text = WriteTemp(dir, "just some text, long enough to be looked at\n", "text");
    struct TCase {
        QString Path;
        int Error;
    };
    const TCase cases[] = {
        {Fixture("noversion.exe"), platform::ErrNoVersionBlock},
        {QString(), ENOENT},
        {dir.filePath(QStringLiteral("missing")), ENOENT},
        {dir.path(), EISDIR},
        {text, platform::ErrDamagedVersionBlock},
        {WriteTemp(dir, QByteArray(), "empty"), platform::ErrDamagedVersionBlock},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Path.toStdString());
        const TRead r = ReadBlock(c.Path);
        EXPECT_EQ(r.Size, 0u);
        EXPECT_EQ(r.Error, c.Error);
        EXPECT_EQ(platform::GetFileVersion(c.Path), 0xFFFFFFFFu);
    }
    // An ELF file with a section table but no version section.
    QByteArray elf = MakeElf(ToBytes(versionblock::Build(SampleBlock())), true, false);
    elf.replace(platform::VersionSectionName, ".velmora_versioX");
    const TRead r = ReadBlock(WriteTemp(dir, elf, "other.elf"));
    EXPECT_EQ(r.Size, 0u);
    EXPECT_EQ(r.Error, platform::ErrNoVersionBlock);
}

// Damaged headers of both containers: a clean failure with an error, never a read outside the
// file or a hang.
TEST(VersionFile, DamagedHeadersFailCleanly) {
    QTemporaryDir dir;
    const QByteArray block = ToBytes(versionblock::Build(SampleBlock()));
    const QByteArray elf = MakeElf(block, true, false);
    const qsizetype shoff = qsizetype(qFromLittleEndian<quint64>(elf.constData() + 0x28));
    const qsizetype versionHeader = shoff + 64, namesHeader = shoff + 128;
    const QByteArray pe = ReadAll(Fixture("ordinary.exe"));
    const TPeLayout l = LayoutOf(pe);
    ASSERT_GE(l.RsrcHeader, 0);
    const TRead intact = ReadBlock(Fixture("ordinary.exe"));
    ASSERT_EQ(intact.Block, pe.mid(l.Block, intact.Size)); // the layout above is the right one

    constexpr int Damaged = platform::ErrDamagedVersionBlock, None = platform::ErrNoVersionBlock;
    struct TCase {
        const char* Name;
        bool Pe;
        std::function<void(QByteArray&)> Damage;
        int Error;
    };
    const TCase cases[] = {
        {"ELF section table past the end", false,
         [&](QByteArray& f) { Put64(f, 0x28, f.size() - 8); }, Damaged},
        {"ELF section table offset wraps", false,
         [](QByteArray& f) { Put64(f, 0x28, ~quint64(0) - 15); }, Damaged},
        {"ELF no section table", false, [](QByteArray& f) { Put64(f, 0x28, 0); }, None},
        {"ELF entry size too small", false, [](QByteArray& f) { Put16(f, 0x3A, 8); }, Damaged},
        {"ELF huge section count", false, [](QByteArray& f) { Put16(f, 0x3C, 0xFFFF); }, Damaged},
        {"ELF extended count, huge", false,
         [&](QByteArray& f) {
             Put16(f, 0x3C, 0);
             Put64(f, shoff + 32, ~quint64(0));
         },
         Damaged},
        {"ELF name table index out of range", false, [](QByteArray& f) { Put16(f, 0x3E, 7); },
         Damaged},
        {"ELF name table past the end", false,
         [&](QByteArray& f) { Put64(f, namesHeader + 24, ~quint64(0) - 2); }, Damaged},
        {"ELF name table huge", false,
         [&](QByteArray& f) { Put64(f, namesHeader + 32, quint64(1) << 40); }, Damaged},
        {"ELF name offset outside the table", false,
         [&](QByteArray& f) { Put32(f, versionHeader, 0xFFFFFFF0u); }, None},
        {"ELF section data past the end", false,
         [&](QByteArray& f) { Put64(f, versionHeader + 24, f.size() - 4); }, Damaged},
        {"ELF section offset plus size wraps", false,
         [&](QByteArray& f) { Put64(f, versionHeader + 32, ~quint64(0) - 8); }, Damaged},
        {"ELF section without file data", false,
         [&](QByteArray& f) { Put32(f, versionHeader + 4, 8); }, Damaged},
        {"ELF section smaller than the block", false,
         [&](QByteArray& f) { Put64(f, versionHeader + 32, 64); }, Damaged},
        {"ELF block length zero", false, [&](QByteArray& f) { Put16(f, 64, 0); }, Damaged},
        {"ELF bad class", false, [](QByteArray& f) { f[4] = 9; }, Damaged},
        {"PE header offset past the end", true, [](QByteArray& f) { Put32(f, 0x3C, 0xFFFFFFF0u); },
         Damaged},
        {"PE header at the very end", true,
         [](QByteArray& f) { Put32(f, 0x3C, quint32(f.size() - 2)); }, Damaged},
        {"PE signature broken", true, [&](QByteArray& f) { f[l.Coff - 4] = 'X'; }, Damaged},
        {"PE huge section count", true, [&](QByteArray& f) { Put16(f, l.Coff + 2, 0xFFFF); },
         Damaged},
        {"PE optional header too long", true, [&](QByteArray& f) { Put16(f, l.Coff + 16, 0xFFFF); },
         Damaged},
        {"PE optional header too short", true, [&](QByteArray& f) { Put16(f, l.Coff + 16, 1); },
         Damaged},
        {"PE unknown optional magic", true, [&](QByteArray& f) { Put16(f, l.Optional, 0x999); },
         Damaged},
        {"PE no resource directory slot", true, [&](QByteArray& f) { Put32(f, l.CountAt, 1); },
         None},
        {"PE no resources", true, [&](QByteArray& f) { Put32(f, l.ResourceDir, 0); }, None},
        {"PE resources outside every section", true,
         [&](QByteArray& f) { Put32(f, l.ResourceDir, 0xFFFFFFF0u); }, Damaged},
        {"PE resource section data past the end", true,
         [&](QByteArray& f) { Put32(f, l.RsrcHeader + 20, 0xFFFFFFF0u); }, Damaged},
        {"PE resource section without raw data", true,
         [&](QByteArray& f) { Put32(f, l.RsrcHeader + 16, 0); }, Damaged},
        {"PE directory entry count huge", true,
         [&](QByteArray& f) { Put16(f, l.Rsrc + 14, 0xFFFF); }, Damaged},
        {"PE subdirectory outside the resources", true,
         [&](QByteArray& f) { Put32(f, l.Rsrc + 20, 0xFFFFFFF0u); }, Damaged},
        {"PE subdirectory pointing at the root", true,
         [&](QByteArray& f) {
             Put32(f, l.Rsrc + 20, 0x80000000u);
             Put32(f, l.Level2 + 20, 0x80000000u);
         },
         Damaged},
        {"PE type entry is data", true, [&](QByteArray& f) { Put32(f, l.Rsrc + 20, 0x10); },
         Damaged},
        {"PE language entry is a directory", true,
         [&](QByteArray& f) { Put32(f, l.Level3 + 20, Get32(f, l.Level3 + 20) | 0x80000000u); },
         Damaged},
        {"PE data size huge", true, [&](QByteArray& f) { Put32(f, l.DataEntry + 4, 0xFFFFFFFFu); },
         Damaged},
        {"PE data size zero", true, [&](QByteArray& f) { Put32(f, l.DataEntry + 4, 0); }, Damaged},
        {"PE data outside every section", true,
         [&](QByteArray& f) { Put32(f, l.DataEntry, 0xFFFFFFF0u); }, Damaged},
        {"PE block longer than its data", true, [&](QByteArray& f) { Put16(f, l.Block, 0xFFFF); },
         Damaged},
        {"PE no version type", true, [&](QByteArray& f) { Put32(f, l.Rsrc + 16, 6); }, None},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QByteArray bad = c.Pe ? pe : elf;
        c.Damage(bad);
        const QString path = WriteTemp(dir, bad);
        const TRead r = ReadBlock(path);
        EXPECT_EQ(r.Size, 0u);
        EXPECT_EQ(r.Error, c.Error);
        EXPECT_EQ(platform::GetFileVersion(path), 0xFFFFFFFFu);
    }

    // Every cut of both files: never a read past the end; a cut before the block's end fails.
    for (const QByteArray* whole : {&pe, &elf}) {
        for (qsizetype cut = 0; cut < whole->size(); cut += (whole == &pe ? 7 : 3)) {
            const TRead r = ReadBlock(WriteTemp(dir, whole->left(cut)));
            if (r.Size == 0) {
                EXPECT_TRUE(r.Error == Damaged || r.Error == None) << cut << " " << r.Error;
            }
        }
    }
}
