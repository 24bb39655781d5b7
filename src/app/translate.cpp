#include "app/translate.h"

namespace {

QString& SwitchValue() {
    static QString value;
    return value;
}

QStringList& TranslationTable() {
    static QStringList table;
    return table;
}

} // namespace

QString Translate(const QString& english) {
    if (SwitchValue().isEmpty())
        return english;
    const QString key = QLatin1Char('{') + english + QLatin1Char('}');
    for (const QString& line : TranslationTable()) {
        if (!line.startsWith(key))
            continue;
        const QString rest = line.mid(line.indexOf(QLatin1Char('}')) + 1);
        return rest.isEmpty() ? english : rest;
    }
    return english;
}

void SetTranslationTableForTests(const QString& switchValue, const QStringList& table) {
    SwitchValue() = switchValue;
    TranslationTable() = table;
}
