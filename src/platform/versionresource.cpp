#include "platform/versionresource.h"

#include <QFile>
#include <QStringList>
#include <QtEndian>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Every offset and length below comes from the file and is treated as hostile: each one is
// checked against the bounds of the file or of the enclosing structure before it is used, and
// all arithmetic is done in 64 bits so that no sum can wrap.

namespace platform {

namespace {

// Largest table we read in one piece (ELF section headers, their names, PE directories).
constexpr quint64 MaxTableBytes = 16u << 20;

quint16 Le16(const uchar* p) {
    return qFromLittleEndian<quint16>(p);
}

quint32 Le32(const uchar* p) {
    return qFromLittleEndian<quint32>(p);
}

// A read-only view of a file: bounded positioned reads, nothing else.
class TFileReader {
public:
    explicit TFileReader(const QString& path) {
        const QByteArray name = QFile::encodeName(path);
        do {
            // O_NONBLOCK: a FIFO or device under that name must not hang the caller.
            FFd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        } while (FFd < 0 && errno == EINTR);
        if (FFd < 0)
            return;
        struct stat st;
        if (::fstat(FFd, &st) != 0) {
            Close();
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            const int code = S_ISDIR(st.st_mode) ? EISDIR : ErrDamagedVersionBlock;
            Close();
            errno = code;
            return;
        }
        FSize = static_cast<quint64>(st.st_size);
    }
    ~TFileReader() {
        const int saved = errno; // callers report the failure that made them give up
        Close();
        errno = saved;
    }
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    bool IsOpen() const { return FFd >= 0; }
    quint64 Size() const { return FSize; }

    bool Contains(quint64 offset, quint64 length) const {
        return offset <= FSize && length <= FSize - offset;
    }

    // Reads exactly length bytes at offset; a range outside the file is a damaged file.
    bool Read(quint64 offset, void* buffer, quint64 length) const {
        if (!Contains(offset, length)) {
            errno = ErrDamagedVersionBlock;
            return false;
        }
        auto* out = static_cast<char*>(buffer);
        while (length > 0) {
            const ssize_t n = ::pread(FFd, out, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0) { // the file shrank under us
                errno = ErrDamagedVersionBlock;
                return false;
            }
            out += n;
            offset += static_cast<quint64>(n);
            length -= static_cast<quint64>(n);
        }
        return true;
    }

    bool Read(quint64 offset, std::vector<uchar>& buffer, quint64 length) const {
        if (length > MaxTableBytes || !Contains(offset, length)) {
            errno = ErrDamagedVersionBlock;
            return false;
        }
        buffer.resize(length);
        return Read(offset, buffer.data(), length);
    }

private:
    void Close() {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

    int FFd = -1;
    quint64 FSize = 0;
};

// Where the version block lies in the file: its offset and the room the container gives it.
struct TBlockPlace {
    quint64 Offset = 0;
    quint64 Room = 0;
};

bool Fail(int code) {
    errno = code;
    return false;
}

// ---- ELF --------------------------------------------------------------------------------------

class TElfReader {
public:
    TElfReader(const TFileReader& file, const uchar* ident) : FFile(file) {
        F64 = ident[4] == 2;
        FBig = ident[5] == 2;
    }

    bool Locate(TBlockPlace& place) {
        uchar header[64];
        if (!FFile.Read(0, header, F64 ? 64 : 52))
            return false;
        const quint64 shoff = F64 ? U64(header + 0x28) : U32(header + 0x20);
        const quint32 shentsize = U16(header + (F64 ? 0x3A : 0x2E));
        quint64 shnum = U16(header + (F64 ? 0x3C : 0x30));
        quint32 shstrndx = U16(header + (F64 ? 0x3E : 0x32));
        const quint32 entryMin = F64 ? 64 : 40;
        if (shoff == 0)
            return Fail(ErrNoVersionBlock); // no section table (a stripped-down file)
        if (shentsize < entryMin)
            return Fail(ErrDamagedVersionBlock);

        // Extended numbering: section 0 carries the real count and string-table index.
        uchar first[64];
        if (!FFile.Read(shoff, first, entryMin))
            return false;
        if (shnum == 0)
            shnum = F64 ? U64(first + 32) : U32(first + 20);
        if (shstrndx == 0xFFFF)
            shstrndx = U32(first + (F64 ? 40 : 24));
        if (shnum == 0 || shnum > MaxTableBytes / shentsize || shstrndx >= shnum)
            return Fail(ErrDamagedVersionBlock);

        std::vector<uchar> table;
        if (!FFile.Read(shoff, table, shnum * shentsize))
            return false;

        TSection names;
        ReadSection(table.data() + quint64(shstrndx) * shentsize, names);
        std::vector<uchar> strings;
        if (names.Type == 8 /* SHT_NOBITS */ || !FFile.Read(names.Offset, strings, names.Size))
            return Fail(ErrDamagedVersionBlock);

        const QByteArray wanted(VersionSectionName);
        for (quint64 i = 0; i < shnum; ++i) {
            TSection s;
            ReadSection(table.data() + i * shentsize, s);
            if (s.Name >= strings.size())
                continue;
            const uchar* name = strings.data() + s.Name;
            const quint64 room = strings.size() - s.Name;
            if (room <= quint64(wanted.size()) ||
                std::memcmp(name, wanted.constData(), wanted.size() + 1) != 0)
                continue;
            if (s.Type == 8 || !FFile.Contains(s.Offset, s.Size))
                return Fail(ErrDamagedVersionBlock);
            place.Offset = s.Offset;
            place.Room = s.Size;
            return true;
        }
        return Fail(ErrNoVersionBlock);
    }

private:
    struct TSection {
        quint32 Name = 0;
        quint32 Type = 0;
        quint64 Offset = 0;
        quint64 Size = 0;
    };

    void ReadSection(const uchar* p, TSection& s) const {
        s.Name = U32(p);
        s.Type = U32(p + 4);
        s.Offset = F64 ? U64(p + 24) : U32(p + 16);
        s.Size = F64 ? U64(p + 32) : U32(p + 20);
    }

    quint16 U16(const uchar* p) const {
        return FBig ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
    }
    quint32 U32(const uchar* p) const {
        return FBig ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
    }
    quint64 U64(const uchar* p) const {
        return FBig ? qFromBigEndian<quint64>(p) : qFromLittleEndian<quint64>(p);
    }

    const TFileReader& FFile;
    bool F64 = false;
    bool FBig = false;
};

// ---- PE ---------------------------------------------------------------------------------------

class TPeReader {
public:
    explicit TPeReader(const TFileReader& file) : FFile(file) {}

    bool Locate(TBlockPlace& place) {
        uchar dos[64];
        if (!FFile.Read(0, dos, sizeof dos))
            return false;
        const quint64 pe = Le32(dos + 0x3C);
        uchar coff[24];
        if (!FFile.Read(pe, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0)
            return Fail(ErrDamagedVersionBlock);
        const quint32 sections = Le16(coff + 4 + 2);
        const quint32 optionalSize = Le16(coff + 4 + 16);
        const quint64 optional = pe + 24;

        std::vector<uchar> opt;
        if (!FFile.Read(optional, opt, optionalSize) || optionalSize < 2)
            return Fail(ErrDamagedVersionBlock);
        const quint16 magic = Le16(opt.data());
        quint32 countAt, dirsAt;
        if (magic == 0x10B) { // PE32
            countAt = 92;
            dirsAt = 96;
        } else if (magic == 0x20B) { // PE32+
            countAt = 108;
            dirsAt = 112;
        } else {
            return Fail(ErrDamagedVersionBlock);
        }
        if (optionalSize < countAt + 4)
            return Fail(ErrDamagedVersionBlock);
        const quint32 dirCount = Le32(opt.data() + countAt);
        const quint32 resourceDir = dirsAt + 2 * 8; // IMAGE_DIRECTORY_ENTRY_RESOURCE
        if (dirCount < 3 || optionalSize < resourceDir + 8)
            return Fail(ErrNoVersionBlock);
        FResourceRva = Le32(opt.data() + resourceDir);
        if (FResourceRva == 0)
            return Fail(ErrNoVersionBlock);

        std::vector<uchar> table;
        if (!FFile.Read(optional + optionalSize, table, quint64(sections) * 40))
            return false;
        for (quint32 i = 0; i < sections; ++i) {
            const uchar* s = table.data() + quint64(i) * 40;
            TSection section;
            section.VirtualAddress = Le32(s + 12);
            const quint32 virtualSize = Le32(s + 8);
            section.RawSize = Le32(s + 16);
            if (virtualSize != 0 && virtualSize < section.RawSize)
                section.RawSize = virtualSize; // the rest of the raw data is not mapped
            section.RawOffset = Le32(s + 20);
            FSections.push_back(section);
        }

        // Type RT_VERSION, then name VS_VERSION_INFO (1) or else the first, then the first
        // language: three levels, each an offset from the start of the resource data.
        // A set high bit marks a subdirectory; the last level must be a data entry.
        constexpr quint32 Subdirectory = 0x80000000u;
        quint32 entry;
        if (!FindEntry(0, 16, entry))
            return false;
        if (!(entry & Subdirectory))
            return Fail(ErrDamagedVersionBlock);
        if (!FindEntry(entry & ~Subdirectory, 1, entry))
            return false;
        if (!(entry & Subdirectory))
            return Fail(ErrDamagedVersionBlock);
        if (!FindEntry(entry & ~Subdirectory, -1, entry))
            return false;
        if (entry & Subdirectory)
            return Fail(ErrDamagedVersionBlock);

        uchar data[16];
        if (!ReadRva(quint64(FResourceRva) + entry, data, sizeof data))
            return false;
        const quint32 dataRva = Le32(data);
        const quint32 dataSize = Le32(data + 4);
        if (dataSize == 0 || !RvaToOffset(dataRva, dataSize, place.Offset))
            return Fail(ErrDamagedVersionBlock);
        place.Room = dataSize;
        return true;
    }

private:
    struct TSection {
        quint32 VirtualAddress = 0;
        quint32 RawSize = 0;
        quint32 RawOffset = 0;
    };

    bool RvaToOffset(quint64 rva, quint64 length, quint64& offset) const {
        for (const TSection& s : FSections) {
            if (rva < s.VirtualAddress)
                continue;
            const quint64 within = rva - s.VirtualAddress;
            if (within > s.RawSize || length > s.RawSize - within)
                continue;
            offset = quint64(s.RawOffset) + within;
            return FFile.Contains(offset, length);
        }
        return false;
    }

    bool ReadRva(quint64 rva, uchar* buffer, quint64 length) const {
        quint64 offset;
        if (!RvaToOffset(rva, length, offset))
            return Fail(ErrDamagedVersionBlock);
        return FFile.Read(offset, buffer, length);
    }

    // Looks up id (or takes the first entry, id < 0, or when id is absent) in the resource
    // directory at the given offset; entry is the entry's OffsetToData word.
    bool FindEntry(quint32 directory, int id, quint32& entry) const {
        uchar header[16];
        if (!ReadRva(quint64(FResourceRva) + directory, header, sizeof header))
            return false;
        const quint32 named = Le16(header + 12);
        const quint32 count = named + Le16(header + 14);
        if (count == 0)
            return Fail(ErrNoVersionBlock);
        std::vector<uchar> entries(quint64(count) * 8);
        if (!ReadRva(quint64(FResourceRva) + directory + 16, entries.data(), entries.size()))
            return false;
        if (id >= 0) {
            for (quint32 i = named; i < count; ++i) {
                if (Le32(entries.data() + i * 8) == quint32(id)) {
                    entry = Le32(entries.data() + i * 8 + 4);
                    return true;
                }
            }
            if (id == 16) // no version resource at all
                return Fail(ErrNoVersionBlock);
        }
        entry = Le32(entries.data() + 4);
        return true;
    }

    const TFileReader& FFile;
    quint32 FResourceRva = 0;
    std::vector<TSection> FSections;
};

// Finds the block in the file and checks its length word against the room around it.
bool LocateBlock(const TFileReader& file, TBlockPlace& place, quint32& blockLength) {
    uchar ident[6];
    if (!file.Read(0, ident, sizeof ident))
        return Fail(ErrDamagedVersionBlock);
    bool found;
    if (std::memcmp(ident,
                    "\x7F"
                    "ELF",
                    4) == 0) {
        if ((ident[4] != 1 && ident[4] != 2) || (ident[5] != 1 && ident[5] != 2))
            return Fail(ErrDamagedVersionBlock);
        TElfReader elf(file, ident);
        found = elf.Locate(place);
    } else if (ident[0] == 'M' && ident[1] == 'Z') {
        TPeReader pe(file);
        found = pe.Locate(place);
    } else {
        return Fail(ErrDamagedVersionBlock); // neither ELF nor PE
    }
    if (!found)
        return false;
    uchar word[2];
    if (place.Room < 6 || !file.Read(place.Offset, word, 2))
        return Fail(ErrDamagedVersionBlock);
    blockLength = Le16(word);
    if (blockLength < 6 || blockLength > place.Room)
        return Fail(ErrDamagedVersionBlock);
    return true;
}

// ---- Block queries ----------------------------------------------------------------------------

// One node of the block: wLength, wValueLength, wType, key, value, children.
struct TNode {
    quint32 End = 0;
    quint16 ValueLength = 0;
    quint16 Type = 0;
    QString Key;
    quint32 Value = 0;    // offset of the value, on a 32-bit boundary
    quint32 Children = 0; // offset of the first child
};

quint32 Align4(quint32 offset) {
    return (offset + 3u) & ~3u;
}

// Parses the node at begin, which must lie wholly before limit.
bool ParseNode(const uchar* block, quint32 begin, quint32 limit, TNode& node) {
    if (begin > limit || limit - begin < 6)
        return false;
    const quint32 length = Le16(block + begin);
    if (length < 6 || length > limit - begin)
        return false;
    node.End = begin + length;
    node.ValueLength = Le16(block + begin + 2);
    node.Type = Le16(block + begin + 4);
    node.Key.clear();
    quint32 at = begin + 6;
    for (;;) {
        if (node.End - at < 2)
            return false; // key without its terminator
        const quint16 c = Le16(block + at);
        at += 2;
        if (c == 0)
            break;
        node.Key.append(QChar(c));
    }
    node.Value = qMin(Align4(at), node.End);
    // Text values count UTF-16 units, binary ones bytes. Text lengths are often miscounted by
    // resource compilers, so only a binary value must fit its node exactly.
    const quint32 valueBytes = node.Type == 1 ? node.ValueLength * 2u : node.ValueLength;
    if (node.Type != 1 && valueBytes > node.End - node.Value)
        return false;
    node.Children = qMin(Align4(node.Value + qMin(valueBytes, node.End - node.Value)), node.End);
    return true;
}

} // namespace

quint32 GetFileVersionInfoSize(const QString& path) {
    TFileReader file(path);
    if (!file.IsOpen())
        return 0;
    TBlockPlace place;
    quint32 length = 0;
    if (!LocateBlock(file, place, length))
        return 0;
    return length;
}

bool GetFileVersionInfo(const QString& path, quint32 size, void* data) {
    if (data == nullptr || size == 0)
        return Fail(EINVAL);
    TFileReader file(path);
    if (!file.IsOpen())
        return false;
    TBlockPlace place;
    quint32 length = 0;
    if (!LocateBlock(file, place, length))
        return false;
    // A buffer smaller than the block gets its beginning; queries stay within the buffer.
    return file.Read(place.Offset, data, qMin(size, length));
}

bool VerQueryValue(const void* block, quint32 blockSize, const QString& subBlock,
                   const void** value, quint32* length) {
    static const char16_t empty[1] = {0};
    if (block == nullptr || value == nullptr || length == nullptr)
        return Fail(EINVAL);
    const auto* bytes = static_cast<const uchar*>(block);

    TNode node;
    if (!ParseNode(bytes, 0, blockSize, node))
        return Fail(ErrDamagedVersionBlock);

    const QStringList parts = subBlock.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        bool found = false;
        TNode child;
        for (quint32 at = node.Children; at < node.End && node.End - at >= 6;) {
            if (!ParseNode(bytes, at, node.End, child))
                return Fail(ErrDamagedVersionBlock);
            if (child.Key.compare(part, Qt::CaseInsensitive) == 0) {
                found = true;
                break;
            }
            at = Align4(child.End); // child.End > at, so this always moves on
        }
        if (!found)
            return Fail(ErrNoVersionBlock);
        node = child;
    }

    // Values in a string table are text whatever their node's type says, as their length counts
    // characters: callers read them as strings up to that length.
    const bool isText =
        node.Type == 1 || (parts.size() == 3 && parts[0].compare(QLatin1String("StringFileInfo"),
                                                                 Qt::CaseInsensitive) == 0);
    if (isText) {
        if (node.ValueLength == 0) {
            *value = empty;
            *length = 0;
            return true;
        }
        // The string runs to its terminator, which must lie inside the node.
        for (quint32 at = node.Value; node.End - at >= 2; at += 2) {
            if (Le16(bytes + at) == 0) {
                *value = bytes + node.Value;
                *length = (at - node.Value) / 2 + 1;
                return true;
            }
        }
        return Fail(ErrDamagedVersionBlock);
    }
    if (node.ValueLength == 0)
        return Fail(ErrNoVersionBlock);
    *value = bytes + node.Value;
    *length = node.ValueLength;
    return true;
}

quint32 GetFileVersion(const QString& path) {
    const quint32 size = GetFileVersionInfoSize(path);
    if (size == 0)
        return 0xFFFFFFFFu;
    auto buffer = std::make_unique<uchar[]>(size);
    const void* value = nullptr;
    quint32 length = 0;
    if (!GetFileVersionInfo(path, size, buffer.get()) ||
        !VerQueryValue(buffer.get(), size, QStringLiteral("\\"), &value, &length) || length < 52)
        return 0xFFFFFFFFu;
    const auto* fixed = static_cast<const uchar*>(value);
    if (Le32(fixed) != 0xFEEF04BDu) // VS_FIXEDFILEINFO signature
        return 0xFFFFFFFFu;
    return Le32(fixed + 8); // dwFileVersionMS
}

} // namespace platform
