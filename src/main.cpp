#include "app/main.h"
#include "platform/errorreport.h"
#include "platform/instancelock.h"

int main(int argc, char** argv)
{
    // Marks the running instance; never keeps a second copy from starting.
    const platform::TInstanceLock instance(QStringLiteral("QUENTAR_Velmora"));

    TVelmoraApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setQuitOnLastWindowClosed(true);

    TAppForm appForm;
    appForm.show();
    return QApplication::exec();
}
