#pragma once

#include <QString>

// The product identity: set once by the main window at start-up, read-only afterwards.
inline QString CompanyName;
inline QString ProductName;
inline QString CaptionText; // CompanyName + " - " + ProductName
inline QString VersionText; // major.minor of the file version
