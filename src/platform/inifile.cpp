#include "platform/inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// A settings file is a few hundred bytes; anything past this is not one we should load whole.
constexpr qsizetype MaxIniFileBytes = 16 << 20;

enum class TEncoding {
    Bytes,   // no BOM or a UTF-8 BOM: UTF-8 line by line, Latin-1 for lines that are not UTF-8
    Utf16LE, // FF FE
    Utf16BE, // FE FF
};

// One line of the file: where its text and its line ending lie in the raw bytes, and its
// decoded text.
struct TLine {
    qsizetype Begin = 0; // first byte of the text
    qsizetype End = 0;   // one past the text, before CR LF / LF
    qsizetype Next = 0;  // one past the line ending
    QString Text;
    // What ending a line needs before anything can follow it: none, an LF after a CR that
    // ends the file (the rest of a CR LF cut short), or a whole line break.
    enum class TEnd { Complete, NeedsLF, NeedsBreak } Ending = TEnd::Complete;
};

enum class TKind { Other, Section, Key };

struct TParsed {
    TKind Kind = TKind::Other;
    QString Name; // section or key name
    QString Value;
};

bool IsBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString TrimBlanks(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && IsBlank(s.at(b)))
        ++b;
    while (e > b && IsBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

TParsed ParseLine(const QString& line) {
    TParsed p;
    const QString text = TrimBlanks(line);
    if (text.isEmpty() || text.startsWith(QLatin1Char(';')) || text.startsWith(QLatin1Char('#')))
        return p;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        p.Kind = TKind::Section;
        p.Name = TrimBlanks(text.mid(1, close < 0 ? -1 : close - 1));
        return p;
    }
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return p;
    p.Kind = TKind::Key;
    p.Name = TrimBlanks(text.left(eq));
    p.Value = TrimBlanks(text.mid(eq + 1));
    // One pair of enclosing quotes is not part of the value (how values keep outer blanks).
    if (p.Value.size() >= 2 &&
        (p.Value.front() == QLatin1Char('"') || p.Value.front() == QLatin1Char('\'')) &&
        p.Value.back() == p.Value.front())
        p.Value = p.Value.mid(1, p.Value.size() - 2);
    return p;
}

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The file's contents split into lines, with enough to re-encode a line the same way.
class TIniText {
public:
    explicit TIniText(QByteArray raw) : FRaw(std::move(raw)) {
        if (FRaw.startsWith("\xFF\xFE")) {
            FEncoding = TEncoding::Utf16LE;
            FStart = 2;
        } else if (FRaw.startsWith("\xFE\xFF")) {
            FEncoding = TEncoding::Utf16BE;
            FStart = 2;
        } else if (FRaw.startsWith("\xEF\xBB\xBF")) {
            FStart = 3;
        }
        const qsizetype unit = FEncoding == TEncoding::Bytes ? 1 : 2;
        // An odd byte at the end of a UTF-16 file (one cut short) is no character; text
        // written after it would be read one byte out of step, so it goes.
        if (unit == 2 && (FRaw.size() - FStart) % 2 != 0)
            FRaw.chop(1);
        qsizetype at = FStart;
        while (at < FRaw.size()) {
            TLine line;
            line.Begin = at;
            qsizetype lf = at;
            while (lf + unit <= FRaw.size() && Unit(lf) != '\n')
                lf += unit;
            if (lf + unit > FRaw.size()) { // last line, no ending
                line.End = line.Next = FRaw.size();
                line.Ending = TLine::TEnd::NeedsBreak;
                // A CR that ends the file is a break cut short, not text of the line.
                if (line.End - unit >= at && Unit(line.End - unit) == '\r') {
                    line.End -= unit;
                    line.Ending = TLine::TEnd::NeedsLF;
                }
            } else {
                line.Next = lf + unit;
                line.End = (lf - unit >= at && Unit(lf - unit) == '\r') ? lf - unit : lf;
                if (FEol.isEmpty())
                    FEol = FRaw.mid(line.End, line.Next - line.End);
            }
            line.Text = Decode(line.Begin, line.End);
            FLines.push_back(std::move(line));
            at = FLines.back().Next;
        }
        if (FEol.isEmpty())
            FEol = Encode(QStringLiteral("\n")); // new files and one-line files: plain LF
    }

    const std::vector<TLine>& Lines() const { return FLines; }
    const QByteArray& Raw() const { return FRaw; }
    QByteArray Eol() const { return FEol; }

    QByteArray Encode(const QString& text) const {
        switch (FEncoding) {
        case TEncoding::Bytes:
            return text.toUtf8();
        case TEncoding::Utf16LE:
        case TEncoding::Utf16BE: {
            QByteArray out;
            out.reserve(text.size() * 2);
            for (QChar c : text) {
                const ushort u = c.unicode();
                const char hi = char(u >> 8), lo = char(u & 0xFF);
                if (FEncoding == TEncoding::Utf16LE) {
                    out.append(lo);
                    out.append(hi);
                } else {
                    out.append(hi);
                    out.append(lo);
                }
            }
            return out;
        }
        }
        return {};
    }

private:
    ushort Unit(qsizetype at) const {
        const auto b0 = uchar(FRaw.at(at));
        if (FEncoding == TEncoding::Bytes)
            return b0;
        const auto b1 = uchar(FRaw.at(at + 1));
        return FEncoding == TEncoding::Utf16LE ? ushort(b0 | b1 << 8) : ushort(b0 << 8 | b1);
    }

    QString Decode(qsizetype begin, qsizetype end) const {
        const QByteArrayView bytes(FRaw.constData() + begin, end - begin);
        if (FEncoding != TEncoding::Bytes) {
            QString text;
            text.reserve(bytes.size() / 2);
            for (qsizetype i = begin; i + 1 < end; i += 2)
                text.append(QChar(Unit(i)));
            return text;
        }
        // Hand-edited files mix encodings; each line falls back to Latin-1 on its own, so
        // no byte is ever undecodable.
        // A U+FEFF opening a line is part of it, as it was written: the file's own byte-order
        // mark has been skipped already.
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                      QStringDecoder::Flag::ConvertInitialBom);
        QString text = utf8.decode(bytes);
        if (utf8.hasError())
            text = QString::fromLatin1(bytes);
        return text;
    }

    QByteArray FRaw;
    TEncoding FEncoding = TEncoding::Bytes;
    qsizetype FStart = 0;
    QByteArray FEol;
    std::vector<TLine> FLines;
};

// Reads the whole file. False with errno set when it is missing, not a regular file, too big
// or unreadable.
bool ReadFile(const QString& fileName, QByteArray& contents) {
    const QByteArray path = QFile::encodeName(fileName);
    int fd;
    do {
        // O_NONBLOCK: a FIFO under the settings name must not hang the program.
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ok = false;
    }
    if (ok && st.st_size > MaxIniFileBytes) {
        errno = EFBIG;
        ok = false;
    }
    contents.clear();
    if (ok) {
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0)
                break;
            if (contents.size() + n > MaxIniFileBytes) { // grew while we read
                errno = EFBIG;
                ok = false;
                break;
            }
            contents.append(buffer, n);
        }
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

bool WriteAll(int fd, const QByteArray& data) {
    const char* p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// Replaces the file at target with data: a temporary file in the same folder, flushed to disk,
// then renamed over the old file, so that a crash or a full disk leaves either the old file or
// the new one, never a mix.
bool ReplaceFile(const QByteArray& target, const QByteArray& data) {
    static std::atomic<unsigned> counter{0};
    struct stat old;
    const bool existed = ::stat(target.constData(), &old) == 0;

    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp-" + QByteArray::number(qint64(::getpid())) + "-" +
               QByteArray::number(counter.fetch_add(1));
        do {
            // 0666 so that a new file gets the user's umask, like any file they create.
            fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = true;
    if (existed) {
        // Keep the old file's owner and permissions (the owner only when we may set it).
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // not ours to give away: the file becomes the writer's, as any edited file does
        }
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd, data);
    int rc = 0;
    while (ok && (rc = ::fsync(fd)) != 0 && errno == EINTR) {
    }
    ok = ok && rc == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        saved = errno;
        ok = false;
    }
    if (ok && ::rename(temp.constData(), target.constData()) != 0) {
        saved = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.constData());
        errno = saved;
        return false;
    }

    // The rename itself is on disk only once the folder is.
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0    ? QByteArray(".")
                              : slash == 0 ? QByteArray("/")
                                           : target.left(slash);
    int dfd;
    do {
        dfd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (dfd < 0 && errno == EINTR);
    if (dfd >= 0) {
        while (::fsync(dfd) != 0 && errno == EINTR) {
        }
        ::close(dfd);
    }
    return true;
}

// Values that would not read back as written get enclosing quotes, which a read removes.
QString QuoteIfNeeded(const QString& value) {
    if (value.isEmpty())
        return value;
    const bool outerBlank = IsBlank(value.front()) || IsBlank(value.back());
    const bool quoted = value.size() >= 2 &&
                        (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
                        value.back() == value.front();
    return outerBlank || quoted ? QLatin1Char('"') + value + QLatin1Char('"') : value;
}

bool HasLineBreakOrNul(const QString& s) {
    for (QChar c : s)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c.unicode() == 0)
            return true;
    return false;
}

} // namespace

QString ReadProfileString(const QString& FileName, const QString& Section, const QString& Key,
                          const QString& Default) {
    auto cut = [](QString s) {
        if (s.size() > MaxProfileValueLength) {
            s.truncate(MaxProfileValueLength);
            if (s.back().isHighSurrogate()) // never hand out half a character
                s.chop(1);
        }
        return s;
    };
    QByteArray raw;
    if (!ReadFile(FileName, raw))
        return cut(Default);
    const TIniText text(std::move(raw));
    bool inSection = false;
    for (const TLine& line : text.Lines()) {
        const TParsed p = ParseLine(line.Text);
        if (p.Kind == TKind::Section) {
            if (inSection)
                break; // only the first section of that name counts
            inSection = SameName(p.Name, Section);
        } else if (inSection && p.Kind == TKind::Key && SameName(p.Name, Key)) {
            // The value ends at a NUL or a lone CR: neither can be written back into a line of
            // the file, and a value read must be one that can be stored again.
            qsizetype end = 0;
            while (end < p.Value.size() && p.Value.at(end) != QLatin1Char('\r') &&
                   p.Value.at(end).unicode() != 0)
                ++end;
            return cut(p.Value.left(end));
        }
    }
    return cut(Default);
}

void WriteProfileString(const QString& FileName, const QString& Section, const QString& Key,
                        const QString& Value) {
    const QString fullPath = QFileInfo(FileName).absoluteFilePath();
    auto fail = [&](int code) {
        errno = code;
        throw EIniFileException(QStringLiteral("Unable to write to %1").arg(fullPath));
    };

    // A line break would let the value start lines of its own (new keys, new sections).
    const QString section = TrimBlanks(Section), key = TrimBlanks(Key);
    if (section.isEmpty() || key.isEmpty() || HasLineBreakOrNul(section) ||
        HasLineBreakOrNul(key) || HasLineBreakOrNul(Value) || section.contains(QLatin1Char(']')) ||
        key.contains(QLatin1Char('=')) || key.startsWith(QLatin1Char('[')) ||
        key.startsWith(QLatin1Char(';')) || key.startsWith(QLatin1Char('#')))
        fail(EINVAL);

    // Write through a symbolic link rather than replacing the link with a file.
    QByteArray target = QFile::encodeName(fullPath);
    {
        char resolved[PATH_MAX];
        struct stat st;
        if (::lstat(target.constData(), &st) == 0 && S_ISLNK(st.st_mode) &&
            ::realpath(target.constData(), resolved) != nullptr)
            target = resolved;
    }

    QByteArray contents;
    if (!ReadFile(QFile::decodeName(target), contents)) {
        if (errno != ENOENT)
            fail(errno);
        contents.clear();
    }
    const TIniText text(std::move(contents));
    const QByteArray& raw = text.Raw();
    const std::vector<TLine>& lines = text.Lines();
    const QByteArray entry = text.Encode(key + QLatin1Char('=') + QuoteIfNeeded(Value));

    // Find the section, the key's line, and the line after which a new key goes.
    qsizetype sectionLine = -1, keyLine = -1, lastInSection = -1;
    for (qsizetype i = 0; i < qsizetype(lines.size()); ++i) {
        const TParsed p = ParseLine(lines[i].Text);
        if (p.Kind == TKind::Section) {
            if (sectionLine >= 0)
                break;
            if (SameName(p.Name, section))
                sectionLine = lastInSection = i;
        } else if (sectionLine >= 0 && p.Kind == TKind::Key) {
            lastInSection = i;
            if (SameName(p.Name, key)) {
                keyLine = i;
                break;
            }
        }
    }

    QByteArray out;
    out.reserve(raw.size() + entry.size() + 64);
    const QByteArray eol = text.Eol();
    auto endingFor = [&](const TLine& line) {
        switch (line.Ending) {
        case TLine::TEnd::Complete:
            break;
        case TLine::TEnd::NeedsLF:
            return text.Encode(QStringLiteral("\n"));
        case TLine::TEnd::NeedsBreak:
            return eol;
        }
        return QByteArray();
    };
    if (keyLine >= 0) {
        const TLine& line = lines[keyLine];
        out = raw.left(line.Begin) + entry + raw.mid(line.End);
    } else if (sectionLine >= 0) {
        const TLine& after = lines[lastInSection];
        out = raw.left(after.Next);
        if (after.Ending == TLine::TEnd::Complete)
            out += entry + eol;
        else // the last line: it gets its ending, the new one stays without, as the file was
            out += endingFor(after) + entry;
        out += raw.mid(after.Next);
    } else {
        out = raw;
        if (!lines.empty())
            out += endingFor(lines.back());
        out += text.Encode(QLatin1Char('[') + section + QLatin1Char(']')) + eol + entry + eol;
    }

    if (!ReplaceFile(target, out))
        fail(errno);
}

} // namespace platform
