#include "download/addurlrules.h"

TAddUrlRules TAddUrlRules::FromEditIndex(const TDownloadList& list, std::int64_t editIndex) {
    TAddUrlRules rules;
    if (editIndex < 0)
        return rules;
    rules.FEditMode = true;
    // An index that names no entry leaves edit mode without an entry, so "Add" is refused rather
    // than turned into something the user did not ask for.
    if (editIndex < list.Count()) {
        rules.FPosition = static_cast<int>(editIndex);
        rules.FCaption = list.Caption(rules.FPosition);
    }
    return rules;
}

void TAddUrlRules::EntriesRemoved(int first, int count) {
    if (FPosition < first || count <= 0)
        return;
    if (FPosition < first + count)
        FPosition = -1;
    else
        FPosition -= count;
}

TAddUrlRules::TApplyResult TAddUrlRules::Apply(TDownloadList& list,
                                               const QStringList& lines) const {
    if (!FEditMode) {
        for (const QString& line : lines) {
            if (!Trim(line).isEmpty())
                list.Ekle(line);
        }
        return arAdded;
    }
    if (!FCaption)
        return arEntryGone;
    int target = -1;
    if (FPosition >= 0 && FPosition < list.Count() && list.Caption(FPosition) == *FCaption)
        target = FPosition;
    else
        target = list.IndexOf(*FCaption);
    if (target < 0)
        return arEntryGone;
    list.SetCaption(target, lines.join(QStringLiteral("\r\n")));
    list.SetStatus(target, QString());
    return arEdited;
}

QString TAddUrlRules::Trim(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size() - 1;
    while (first <= last && text.at(first).unicode() <= 32)
        ++first;
    while (last >= first && text.at(last).unicode() <= 32)
        --last;
    return text.mid(first, last - first + 1);
}

QString TAddUrlRules::LowerAscii(const QString& text) {
    QString result = text;
    for (QChar& ch : result) {
        const char16_t code = ch.unicode();
        if (code >= u'A' && code <= u'Z')
            ch = QChar(static_cast<char16_t>(code + (u'a' - u'A')));
    }
    return result;
}

QString TAddUrlRules::InitialText(const QString& clipboardText, const QString& sample) {
    const QString trimmed = Trim(clipboardText);
    if (LowerAscii(trimmed).startsWith(QLatin1String("http")))
        return trimmed;
    return sample;
}
