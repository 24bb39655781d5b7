#pragma once

#include <gtest/gtest.h>

#include <QString>

#include <ostream>
#include <string>

// Shows Qt strings in failure messages as quoted, escaped text instead of raw bytes.
inline void PrintTo(const QString& text, std::ostream* os) {
    ::testing::internal::UniversalPrint(text.toStdString(), os);
}
