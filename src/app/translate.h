#pragma once

#include <QString>
#include <QStringList>

// Every text a window sets at run time passes through here. No table is installed in the
// program, so each call returns its argument; the seam below lets tests install one.
// Safe to call from any thread: the table never changes while the program runs.
QString Translate(const QString& english);

// Test seam only: installs a switch value and a table of "{English}translation" lines.
void SetTranslationTableForTests(const QString& switchValue, const QStringList& table);
