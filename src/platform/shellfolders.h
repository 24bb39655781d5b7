#pragma once

#include <QString>

namespace platform {

inline constexpr int CSIDL_DESKTOP = 0;
inline constexpr int CSIDL_APPDATA = 26;

// The path of a per-user shell folder, without a trailing separator, or the empty text when it
// can't be determined. CSIDL_DESKTOP is the desktop folder as the XDG user-dirs name it;
// CSIDL_APPDATA is $XDG_CONFIG_HOME, else ~/.config. Neither folder is created.
QString GetShellFolderPath(int csidl);

} // namespace platform
