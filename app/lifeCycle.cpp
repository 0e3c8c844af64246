#include "lifeCycle.h"

#include "QuorrelApplication.h"
#include "platform.h"

#include <QApplication>
#include <QWidget>

#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

namespace {

void applyShowRequest(QWidget& window, ShowRequest request)
{
    switch (request) {
    case ShowRequest::Maximized:
        window.setWindowState(Qt::WindowMaximized);
        break;
    case ShowRequest::MinimizedNoActivate:
        window.setWindowState(Qt::WindowMinimized);
        break;
    case ShowRequest::Normal:
        break;
    }
}

}  // namespace

int runProgram(QApplication& application, QWidget& mainWindow,
               const std::function<void()>& teardownWrite)
{
#if QT_CONFIG(sessionmanager)
    // The main window has no close check: the program agrees to a log-off at once and
    // asks nothing. The end itself comes as a quit request, which the application
    // object turns into the end of the event loop; the teardown then writes.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &application,
                     [](QSessionManager&) {});
#endif

    applyShowRequest(mainWindow, launcherShowRequest());
    mainWindow.show();

    // A main window closed during its own first showing (the disclaimer declined) asks
    // to quit before the event loop runs, and such a request is dropped: the loop
    // would then wait forever with no window. It is not entered at all.
    if (mainWindow.isVisible())
        application.exec();

    // The event loop has ended, but a message box can still run its own loop: a store
    // that cannot be written is never lost unseen.
    try {
        teardownWrite();
    } catch (...) {
        reportCurrentException();
    }
    return 0;
}
