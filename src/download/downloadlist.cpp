#include "download/downloadlist.h"

TDownloadList::TDownloadList(QObject* parent) : QObject(parent) {}

void TDownloadList::CheckIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(QStringLiteral("List index out of bounds (%1)").arg(index));
}

const QString& TDownloadList::Caption(int index) const {
    CheckIndex(index);
    return FEntries[static_cast<size_t>(index)].Caption;
}

const QString& TDownloadList::Status(int index) const {
    CheckIndex(index);
    return FEntries[static_cast<size_t>(index)].Status;
}

bool TDownloadList::Ekle(const QString& isim) {
    if (Contains(isim))
        return false;
    const int position = Count();
    emit aboutToAppend(position, 1);
    FEntries.push_back({isim, QString()});
    ++FCaptionCount[isim];
    emit appended(position, 1);
    return true;
}

int TDownloadList::IndexOf(const QString& caption) const {
    if (!Contains(caption))
        return -1;
    for (int i = 0; i < Count(); ++i) {
        if (FEntries[static_cast<size_t>(i)].Caption == caption)
            return i;
    }
    return -1;
}

void TDownloadList::Forget(const QString& caption) {
    const auto it = FCaptionCount.find(caption);
    if (it == FCaptionCount.end())
        return;
    if (--it.value() == 0)
        FCaptionCount.erase(it);
}

void TDownloadList::SetCaption(int index, const QString& caption) {
    CheckIndex(index);
    TEntry& entry = FEntries[static_cast<size_t>(index)];
    if (entry.Caption == caption)
        return;
    Forget(entry.Caption);
    entry.Caption = caption;
    ++FCaptionCount[caption];
    emit changed(index, 1);
}

void TDownloadList::SetStatus(int index, const QString& status) {
    CheckIndex(index);
    TEntry& entry = FEntries[static_cast<size_t>(index)];
    if (entry.Status == status)
        return;
    entry.Status = status;
    emit changed(index, 1);
}

void TDownloadList::ClearStatuses() {
    if (FEntries.empty())
        return;
    for (TEntry& entry : FEntries)
        entry.Status.clear();
    emit changed(0, Count());
}

void TDownloadList::Delete(int index) {
    CheckIndex(index);
    emit aboutToRemove(index, 1);
    Forget(FEntries[static_cast<size_t>(index)].Caption);
    FEntries.erase(FEntries.begin() + index);
    emit removed(index, 1);
}

void TDownloadList::Clear() {
    const int count = Count();
    if (count == 0)
        return;
    emit aboutToRemove(0, count);
    FEntries.clear();
    FCaptionCount.clear();
    emit removed(0, count);
}
