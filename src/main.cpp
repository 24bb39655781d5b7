#include "app/main.h"
#include "platform/errorreport.h"
#include "platform/instancelock.h"
#include "webservice/check.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    // Marks the running instance; never keeps a second copy from starting.
    const platform::TInstanceLock instance(QStringLiteral("QUENTAR_Velmora"));

    TVelmoraApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));

    int exitCode;
    {
        // The window's destructor stops a running converter and waits for it.
        TAppForm appForm;
        appForm.show();
        exitCode = QApplication::exec();
    }

    // The update check is never waited for. While it still runs, the application's and the
    // libraries' exit-time destructors would pull the ground from under it, so leave without
    // them: everything of ours that must reach the disk already has.
    if (CheckStarted && !CheckFinished.load(std::memory_order_acquire)) {
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
