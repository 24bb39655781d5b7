#pragma once

#include "download/downloadlist.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// What one add/edit dialog does with its text, kept apart from the dialog's widgets.
// Each dialog holds its own copy: the mode and the entry are fixed when it opens, so opening
// another dialog later cannot change what this one's "Add" does. Main thread only.
class TAddUrlRules {
public:
    enum TApplyResult {
        arAdded,     // add mode: the lines went through Ekle
        arEdited,    // edit mode: the entry now holds the new caption and an empty status
        arEntryGone, // edit mode: no entry holds the caption the dialog was opened with
    };

    // Add mode.
    TAddUrlRules() = default;
    // The mode an opening command leaves behind: a negative index is add mode, any other is edit
    // mode for that position, whose caption is remembered so the entry can be found again when
    // the list changes while the dialog is open.
    static TAddUrlRules FromEditIndex(const TDownloadList& list, std::int64_t editIndex);

    bool IsEditMode() const { return FEditMode; }
    // The edited entry's position as far as it is known (-1 in add mode or once it was removed).
    int Position() const { return FPosition; }
    const std::optional<QString>& OpenedCaption() const { return FCaption; }

    // Follows a removal from the list, so that the edited entry is still known by position.
    void EntriesRemoved(int first, int count);

    // Add mode: every line that is not blank goes to Ekle as it stands, untrimmed.
    // Edit mode: the lines joined by CR LF become the entry's caption and its status is emptied;
    // the duplicate rule does not apply. The entry is the one the dialog was opened for if it
    // still holds the remembered caption, else the first entry that holds it; when none does,
    // nothing changes and arEntryGone comes back.
    TApplyResult Apply(TDownloadList& list, const QStringList& lines) const;

    // Removes blanks and control characters (codes up to 32) at both ends.
    static QString Trim(const QString& text);
    // Lower-cases the letters A to Z and nothing else.
    static QString LowerAscii(const QString& text);
    // The editor's first text: the trimmed clipboard text when it begins with "http" in any letter
    // case, otherwise the sample.
    static QString InitialText(const QString& clipboardText, const QString& sample);

private:
    bool FEditMode = false;
    int FPosition = -1;
    std::optional<QString> FCaption;
};
