#pragma once

#include "platform/syserror.h"
#include "platform/thread.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QSettings;

VELMORA_DECLARE_ERROR(EUpdateStore, Exception);

// The per-user store of the update check: the program's own native settings (organisation
// "QUENTAR", application "Velmora"; a file under ~/.config on Linux), every value a string in
// the group "Settings", each write flushed to disk at once. Holds no state of its own; the
// checker's thread uses it first, the main thread only after the check has finished.
class TUpdateStore {
public:
    TUpdateStore();
    ~TUpdateStore();
    TUpdateStore(const TUpdateStore&) = delete;
    TUpdateStore& operator=(const TUpdateStore&) = delete;

    // Empty when the value is missing.
    QString ReadString(const QString& name) const;
    // defaultValue when the value is missing or not a decimal 32-bit integer.
    int ReadInteger(const QString& name, int defaultValue) const;
    // Raises EUpdateStore when the value did not reach the disk.
    void WriteString(const QString& name, const QString& value);

    // The store's file. A file there that is not a regular file, or is larger than
    // MaxFileBytes, is left alone: reads find nothing and writes raise.
    static QString FileName();
    static constexpr qint64 MaxFileBytes = 1 << 20;

private:
    // Null when the file is unusable.
    static std::unique_ptr<QSettings> Open();
};

// Results of the once-per-run update check. The checker's thread writes them and sets
// CheckFinished last (release); the main thread reads the others only after it has seen
// CheckFinished true (acquire). CheckStarted belongs to the main thread alone.
extern bool CheckStarted;
extern std::atomic<bool> CheckFinished;
extern bool PreferenceOffered;
extern bool UpdateAvailable;
extern int ShowUpdate;
extern QString LatestVersion;
extern QString DownloadURL;
extern std::unique_ptr<TUpdateStore> UpdateStore;

// Test seam only: back to the state before any check (no check running).
void ResetUpdateCheckForTests();

inline constexpr quint16 ScrambleSeed = 0xD7;
inline constexpr int CheckTimeoutMs = 10000;

// The value between "<tag>" and "</tag>" when the line is exactly that; empty otherwise.
QString GetTagValue(const QString& line, const QString& tag);
// The text's UTF-8 bytes, each XOR-ed with a key that advances with every scrambled byte, as
// upper-case hexadecimal; UnscrambleText inverts it and gives empty for invalid hexadecimal.
QString ScrambleText(const QString& text, quint16 seed);
QString UnscrambleText(const QString& text, quint16 seed);
// The machine's unique id (/etc/machine-id); empty when it cannot be read.
QString GetMachineGuid();
// "<name> (Version <major>.<minor>, Build <n>, <64|32>-bit Edition)".
QString OsDescription();
// "<ISO 639 language>-<ISO 3166 country>" of the user's locale.
QString LocaleName();
// The request's field lines, in the order the service expects.
QStringList CheckRequestFields();
// The answer's lines, cut at CR LF, LF or CR; a break at the very end adds no empty line.
QStringList SplitAnswerLines(const QString& body);
// An optional sign and decimal digits that fit in 32 bits; nothing else, not even blanks.
bool TryStrToInt32(const QString& text, int& value);
// Whether an answer naming latest, while this program is current, leads to a notification
// (when the user wants them): any different text whose digits without "." form a number.
bool IsAnnouncedVersion(const QString& latest, const QString& current);

// Shows the service's important message (a warning with an OK button) and returns once the
// user has dismissed it. Called on the checker's thread.
using TImportantMessageFn = std::function<void(const QString& caption, const QString& text)>;

// The whole check, on the calling thread; never raises, and always ends by setting
// CheckFinished.
void RunUpdateCheck(const TImportantMessageFn& showImportant);

// The update-check worker: created and started by the main thread once per run, it disposes of
// itself when its body has ended and is never waited for. It shares results only through the
// module-wide values above.
class TChecker : public TThreadBase {
public:
    static void StartNew(TImportantMessageFn showImportant);

protected:
    void Execute() override;

private:
    explicit TChecker(TImportantMessageFn showImportant)
        : FShowImportant(std::move(showImportant)) {}

    TImportantMessageFn FShowImportant;
};
