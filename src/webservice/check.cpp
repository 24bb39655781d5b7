#include "webservice/check.h"

#include "app/identity.h"
#include "app/translate.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QDate>
#include <QFile>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QSysInfo>
#include <QVersionNumber>

#include <sys/stat.h>

bool CheckStarted = false;
std::atomic<bool> CheckFinished{false};
bool PreferenceOffered = false;
bool UpdateAvailable = false;
int ShowUpdate = 1;
QString LatestVersion;
QString DownloadURL;
std::unique_ptr<TUpdateStore> UpdateStore;

namespace {

const QString SettingsGroup = QStringLiteral("Settings/");

// Blanks and control characters at both ends, as the service's texts may carry either.
QString TrimControls(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].unicode() <= 0x20)
        ++first;
    while (last > first && text[last - 1].unicode() <= 0x20)
        --last;
    return text.mid(first, last - first);
}

quint16 Advance(quint16 key, quint8 scrambled) {
    return quint16((key + scrambled) * 53761u + 32618u);
}

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

QString PostToService(const QStringList& fields) {
    try {
        return PostForm(
            webconfig::ScriptUrl(QStringLiteral("https://"), webconfig::CheckScriptPath), fields,
            CheckTimeoutMs);
    } catch (...) {
        // The secure attempt's failure is not kept; the plain one decides.
    }
    return PostForm(webconfig::ScriptUrl(QStringLiteral("http://"), webconfig::CheckScriptPath),
                    fields, CheckTimeoutMs);
}

void ProcessAnswer(const TImportantMessageFn& showImportant) {
    const QStringList fields = CheckRequestFields();
    QStringList lines;
    try {
        lines = SplitAnswerLines(PostToService(fields));
    } catch (...) {
        lines.clear(); // no answer at all
    }
    const QString result =
        lines.size() >= 4 ? GetTagValue(lines[3], QStringLiteral("result")) : QString();
    if (result != QLatin1String("0") && result != QLatin1String("1"))
        return;

    try {
        LatestVersion = GetTagValue(lines.at(0), QStringLiteral("version"));
        UpdateStore->WriteString(QStringLiteral("CurrentVersion"), LatestVersion);
    } catch (...) {
    }
    try {
        DownloadURL = GetTagValue(lines.at(1), QStringLiteral("url"));
        UpdateStore->WriteString(QStringLiteral("CurrentURL"),
                                 ScrambleText(DownloadURL, ScrambleSeed));
    } catch (...) {
    }
    QString important;
    try {
        if (lines.size() >= 6)
            important = GetTagValue(lines.at(5), QStringLiteral("important"));
    } catch (...) {
    }
    PreferenceOffered = true;
    if (!TrimControls(important).isEmpty() && showImportant)
        showImportant(Translate(QStringLiteral("IMPORTANT")), important);
    try {
        if (IsAnnouncedVersion(LatestVersion, VersionText) && ShowUpdate == 1) {
            UpdateStore->WriteString(
                QStringLiteral("LastUpdateInform"),
                QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
            UpdateAvailable = true;
        }
    } catch (...) {
    }
}

} // namespace

TUpdateStore::TUpdateStore() = default;

TUpdateStore::~TUpdateStore() = default;

QString TUpdateStore::FileName() {
    // Where QSettings keeps the user-scope native settings of QUENTAR/Velmora, named here
    // explicitly so that the file can be looked at before QSettings opens it.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/QUENTAR/Velmora.conf");
}

std::unique_ptr<QSettings> TUpdateStore::Open() {
    // QSettings opens its file with a plain blocking open and reads it whole: a FIFO in its
    // place would hold the check for ever, and a huge file would be loaded and rewritten on
    // every use. Only a regular file of sane size (or none yet) is used.
    const QString file = FileName();
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || st.st_size > MaxFileBytes))
        return nullptr;
    // A fresh object per use: QSettings keeps the first error it meets for its whole life, so
    // one failed write would otherwise make every later one look failed too. Qt shares the
    // file's contents between the objects, so this costs next to nothing.
    return std::make_unique<QSettings>(file, QSettings::NativeFormat);
}

QString TUpdateStore::ReadString(const QString& name) const {
    const std::unique_ptr<QSettings> settings = Open();
    return settings ? settings->value(SettingsGroup + name).toString() : QString();
}

int TUpdateStore::ReadInteger(const QString& name, int defaultValue) const {
    int value = 0;
    return TryStrToInt32(ReadString(name), value) ? value : defaultValue;
}

void TUpdateStore::WriteString(const QString& name, const QString& value) {
    const std::unique_ptr<QSettings> settings = Open();
    if (settings) {
        settings->setValue(SettingsGroup + name, value);
        settings->sync();
        if (settings->status() == QSettings::NoError)
            return;
    }
    throw EUpdateStore(QStringLiteral("Could not write \"%1\" to %2").arg(name, FileName()));
}

void ResetUpdateCheckForTests() {
    CheckStarted = false;
    CheckFinished.store(false, std::memory_order_release);
    PreferenceOffered = false;
    UpdateAvailable = false;
    ShowUpdate = 1;
    LatestVersion.clear();
    DownloadURL.clear();
    UpdateStore.reset();
}

QString GetTagValue(const QString& line, const QString& tag) {
    if (line.isEmpty() || tag.isEmpty())
        return {};
    const QString opening = QLatin1Char('<') + tag.toLower() + QLatin1Char('>');
    const QString closing = QLatin1String("</") + tag.toLower() + QLatin1Char('>');
    if (line.size() < opening.size() + closing.size() || !line.startsWith(opening) ||
        !line.endsWith(closing))
        return {};
    return line.mid(opening.size(), line.size() - opening.size() - closing.size());
}

QString ScrambleText(const QString& text, quint16 seed) {
    static constexpr char hex[] = "0123456789ABCDEF";
    QString result;
    quint16 key = seed;
    for (const char ch : text.toUtf8()) {
        const auto scrambled = quint8(quint8(ch) ^ (key >> 8));
        key = Advance(key, scrambled);
        result += QLatin1Char(hex[scrambled >> 4]);
        result += QLatin1Char(hex[scrambled & 15]);
    }
    return result;
}

QString UnscrambleText(const QString& text, quint16 seed) {
    const QString upper = text.toUpper();
    QByteArray bytes;
    quint16 key = seed;
    for (qsizetype i = 0; i + 1 < upper.size(); i += 2) {
        const int high = HexDigit(upper[i]);
        const int low = HexDigit(upper[i + 1]);
        if (high < 0 || low < 0)
            return {};
        const auto scrambled = quint8(high * 16 + low);
        bytes += char(scrambled ^ (key >> 8));
        key = Advance(key, scrambled);
    }
    // QString::fromUtf8 would drop a leading U+FEFF as a byte-order mark.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return utf8.decode(bytes);
}

QString GetMachineGuid() {
    return QString::fromLatin1(QSysInfo::machineUniqueId());
}

QString OsDescription() {
    // The kernel's numbers stand where Windows gives its own version and build.
    const QVersionNumber kernel = QVersionNumber::fromString(QSysInfo::kernelVersion());
    const QString edition = QSysInfo::currentCpuArchitecture() == QLatin1String("x86_64")
                                ? QStringLiteral("64-bit Edition")
                                : QStringLiteral("32-bit Edition");
    return QStringLiteral("%1 (Version %2.%3, Build %4, %5)")
        .arg(QSysInfo::prettyProductName())
        .arg(kernel.majorVersion())
        .arg(kernel.minorVersion())
        .arg(kernel.microVersion())
        .arg(edition);
}

QString LocaleName() {
    const QLocale locale = QLocale::system();
    QLocale::Language language = locale.language();
    QLocale::Territory territory = locale.territory();
    // The C/POSIX locale names no language; Qt itself treats it as American English.
    if (language == QLocale::C || language == QLocale::AnyLanguage) {
        language = QLocale::English;
        territory = QLocale::UnitedStates;
    }
    if (territory == QLocale::AnyTerritory)
        territory = QLocale(language).territory();
    return QStringLiteral("%1-%2").arg(QLocale::languageToCode(language),
                                       QLocale::territoryToCode(territory));
}

QStringList CheckRequestFields() {
    return {QStringLiteral("cmd=check"),
            QStringLiteral("appname=") + CaptionText,
            QStringLiteral("version=") + VersionText,
            QStringLiteral("os=") + OsDescription(),
            QStringLiteral("local=") + LocaleName(),
            QStringLiteral("guid=") + GetMachineGuid()};
}

QStringList SplitAnswerLines(const QString& body) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const QChar c = body[i];
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        lines.append(body.mid(start, i - start));
        if (c == QLatin1Char('\r') && i + 1 < body.size() && body[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < body.size())
        lines.append(body.mid(start));
    return lines;
}

bool TryStrToInt32(const QString& text, int& value) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return false;
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u < u'0' || u > u'9')
            return false;
        magnitude = magnitude * 10 + (u - u'0');
        if (magnitude > qint64(2147483648))
            return false;
    }
    if (!negative && magnitude > 2147483647)
        return false;
    value = int(negative ? -magnitude : magnitude);
    return true;
}

bool IsAnnouncedVersion(const QString& latest, const QString& current) {
    if (latest == current)
        return false;
    int number = 0;
    return TryStrToInt32(QString(latest).remove(QLatin1Char('.')), number);
}

void RunUpdateCheck(const TImportantMessageFn& showImportant) {
    CheckFinished.store(false, std::memory_order_release);
    try {
        UpdateStore = std::make_unique<TUpdateStore>();
        try {
            const QString stored = UpdateStore->ReadString(QStringLiteral("CurrentURL"));
            if (!stored.isEmpty())
                DownloadURL = UnscrambleText(stored, ScrambleSeed);
        } catch (...) {
        }
        try {
            ShowUpdate = UpdateStore->ReadInteger(QStringLiteral("ShowUpdate"), 1);
        } catch (...) {
            ShowUpdate = 1;
        }
        ProcessAnswer(showImportant);
    } catch (...) {
        // The answer counts as not accepted; nothing is reported.
    }
    CheckFinished.store(true, std::memory_order_release);
}

void TChecker::StartNew(TImportantMessageFn showImportant) {
    std::unique_ptr<TChecker> checker(new TChecker(std::move(showImportant)));
    checker->SetFreeOnTerminate(true);
    checker->Start();
    (void)checker.release(); // disposes of itself once its body has ended
}

void TChecker::Execute() {
    RunUpdateCheck(FShowImportant);
}
