#include "support/shellrecorder.h"

namespace testsupport {

ShellRecorder::ShellRecorder() {
    platform::TShellHooks hooks;
    hooks.openUrl = [this](const QString& url) { openedUrls << url; };
    hooks.openTextFile = [this](const QString& path) { openedTextFiles << path; };
    hooks.beep = [this] { ++beeps; };
    hooks.message = [this](QWidget*, platform::TMsgIcon icon, const QString& caption,
                           const QString& text) {
        messages.push_back({icon, caption, text});
    };
    FPrevious = platform::SetShellHooks(std::move(hooks));
}

ShellRecorder::~ShellRecorder() {
    platform::SetShellHooks(std::move(FPrevious));
}

} // namespace testsupport
