#pragma once

#include "platform/syserror.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <vector>

// A position outside the list was asked for.
VELMORA_DECLARE_ERROR(EListError, Exception);

// The download list: playlist addresses with one status text each, known only by their position
// from 0. It lives in memory only. Every change is announced, so that the report view and the
// download queue (which keeps a position of its own) can follow rows that come and go.
// Main thread only; the main window owns it.
class TDownloadList : public QObject {
    Q_OBJECT
public:
    explicit TDownloadList(QObject* parent = nullptr);

    int Count() const { return static_cast<int>(FEntries.size()); }
    // Raise EListError for a position outside 0 .. Count() - 1.
    const QString& Caption(int index) const;
    const QString& Status(int index) const;

    // Appends isim with an empty status unless an entry with exactly the same caption exists
    // (compared character by character: case, blanks and line breaks all count). Returns whether
    // it was added.
    bool Ekle(const QString& isim);
    // Whether some entry's caption equals caption exactly.
    bool Contains(const QString& caption) const { return FCaptionCount.contains(caption); }
    // The first position whose caption equals caption exactly, or -1.
    int IndexOf(const QString& caption) const;

    // Setting a caption skips the duplicate rule of Ekle on purpose: an edit may produce two
    // equal captions. Both raise EListError for a position outside the list.
    void SetCaption(int index, const QString& caption);
    void SetStatus(int index, const QString& status);
    // Empties every status, announced as one change.
    void ClearStatuses();

    // Removes one entry; the entries after it move up one position.
    void Delete(int index);
    // Removes every entry; nothing is announced when the list is already empty.
    void Clear();

signals:
    // Rows first .. first + count - 1 are about to be appended / have been appended at the end.
    void aboutToAppend(int first, int count);
    void appended(int first, int count);
    // Rows first .. first + count - 1 (positions before the removal) are about to go / have gone;
    // later rows have moved up by count.
    void aboutToRemove(int first, int count);
    void removed(int first, int count);
    // The caption or status of rows first .. first + count - 1 changed.
    void changed(int first, int count);

private:
    struct TEntry {
        QString Caption;
        QString Status;
    };

    void CheckIndex(int index) const;
    void Forget(const QString& caption);

    std::vector<TEntry> FEntries;
    // How many entries hold each caption, so that Ekle needs no walk through the list.
    QHash<QString, int> FCaptionCount;
};
