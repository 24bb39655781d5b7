#pragma once

#include <QString>

// Whether text has the shape of an e-mail address the feedback service accepts:
// letters, digits and _ . + - before the @, then a label of letters, digits or hyphens, a dot,
// and letters, digits, hyphens or dots ending in a letter or digit. Only ASCII letters count:
// any other character refuses the address. The test is of the whole text, with nothing around
// it (callers trim first; a trailing line break is refused). Any thread may call it.
bool IsValidEmail(const QString& text);
