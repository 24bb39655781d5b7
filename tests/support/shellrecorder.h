#pragma once

#include "platform/shell.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace testsupport {

// Replaces the shell facilities for the life of the object and records what would have been
// opened, shown or sounded. Message boxes return at once, as if OK had been pressed.
class ShellRecorder {
public:
    struct Message {
        platform::TMsgIcon icon;
        QString caption;
        QString text;
    };

    ShellRecorder();
    ~ShellRecorder();
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    QStringList openedUrls;
    QStringList openedTextFiles;
    int beeps = 0;
    std::vector<Message> messages;

private:
    platform::TShellHooks FPrevious;
};

} // namespace testsupport
