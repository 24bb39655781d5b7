// The version-block reader on any file (ELF, PE or neither) and on any block held in memory:
// no read outside the file or the block, and every value found lies wholly inside the block.
//
// Input: one mode byte, then the file's bytes (even mode) or a block's bytes (odd mode). Bit 1
// of the mode: the block is read from the file into a buffer shorter than the block.

#include "fuzzsupport.h"

#include "app/versioninfo.h"
#include "platform/syserror.h"
#include "platform/versionresource.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

const QString Queries[] = {
    QStringLiteral("\\"),
    QStringLiteral("\\VarFileInfo\\Translation"),
    QStringLiteral("\\VarFileInfo\\Translation\\"),
    QStringLiteral("\\StringFileInfo\\040904E4\\CompanyName"),
    QStringLiteral("\\StringFileInfo\\040904b0\\ProductName"),
    QStringLiteral("\\StringFileInfo\\040904E4\\FileVersion"),
    QStringLiteral("\\StringFileInfo"),
    QStringLiteral("\\\\StringFileInfo\\\\"),
    QStringLiteral("StringFileInfo\\040904E4\\Comments"),
};

// Every value a query finds lies inside [block, block + size). The block's node says whether
// the length counts bytes or, for text, UTF-16 units with the terminator; either way the
// value's first length bytes are inside.
void QueryAll(const uchar* block, quint32 size) {
    for (const QString& query : Queries) {
        const void* value = nullptr;
        quint32 length = 0;
        if (!platform::VerQueryValue(block, size, query, &value, &length))
            continue;
        FUZZ_CHECK(value != nullptr);
        if (length == 0)
            continue; // an empty string may point at a static terminator
        const auto* at = static_cast<const uchar*>(value);
        FUZZ_CHECK(at >= block && at < block + size);
        FUZZ_CHECK(length <= quint64(block + size - at));
        // A string table's values are text: length characters, the last one the terminator.
        if (query.split(QLatin1Char('\\'), Qt::SkipEmptyParts).size() == 3) {
            FUZZ_CHECK(quint64(length) * 2 <= quint64(block + size - at));
            FUZZ_CHECK(at[2 * length - 2] == 0 && at[2 * length - 1] == 0);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    const std::uint8_t mode = input.Byte();
    const QByteArray bytes = input.Rest();

    if (mode & 1) {
        // The block alone, in a buffer of exactly its size so that any overread is caught.
        const quint32 blockSize = quint32(bytes.size());
        auto block = std::make_unique<uchar[]>(blockSize ? blockSize : 1);
        std::memcpy(block.get(), bytes.constData(), blockSize);
        QueryAll(block.get(), blockSize);
        return 0;
    }

    const QString path = QDir(fuzzsupport::ScratchDir()).filePath(QStringLiteral("program.exe"));
    {
        QFile::remove(path);
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        FUZZ_CHECK(file.write(bytes) == bytes.size());
    }

    const quint32 length = platform::GetFileVersionInfoSize(path);
    if (length != 0) {
        FUZZ_CHECK(length >= 6 && length <= quint64(bytes.size()));
        const quint32 wanted = (mode & 2) ? length / 2 + 1 : length;
        auto block = std::make_unique<uchar[]>(wanted);
        if (platform::GetFileVersionInfo(path, wanted, block.get())) {
            // The block's own length word comes first.
            if (wanted >= 2)
                FUZZ_CHECK_EQ(quint32(block[0] | block[1] << 8), length);
            QueryAll(block.get(), wanted);
        }
    }
    (void)platform::GetFileVersion(path);

    TEXEVersionData versionData;
    try {
        GetEXEVersionData(path, versionData);
        for (const QString* field :
             {&versionData.CompanyName, &versionData.FileDescription, &versionData.FileVersion,
              &versionData.InternalName, &versionData.LegalCopyright, &versionData.LegalTrademarks,
              &versionData.OriginalFileName, &versionData.ProductName, &versionData.ProductVersion,
              &versionData.Comments, &versionData.PrivateBuild, &versionData.SpecialBuild})
            FUZZ_CHECK(!field->contains(QChar(u'\0')));
        FUZZ_CHECK(length != 0);
    } catch (const EOSError&) {
        // No version block, a damaged one, or no translation table: reported, not read.
    }
    return 0;
}
