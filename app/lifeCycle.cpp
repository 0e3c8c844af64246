#include "lifeCycle.h"

#include "QuorrelApplication.h"

#include <QApplication>
#include <QCloseEvent>
#include <QWidget>

#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

namespace {

// The program's task-bar entry while a minimised start waits: an empty window under
// the application title that is never seen restored. Restoring it hides it and shows
// the main window in the normal state, which runs the main window's first showing;
// closing it ends the program with the main window never shown.
class RestoreWaiter : public QWidget {
public:
    explicit RestoreWaiter(QWidget& mainWindow) : mainWindow_(mainWindow)
    {
        setWindowTitle(applicationTitle());
        setWindowIconText(applicationTitle());
        setAttribute(Qt::WA_ShowWithoutActivating);
        resize(mainWindow.size());
    }

protected:
    void changeEvent(QEvent* event) override
    {
        QWidget::changeEvent(event);
        if (event->type() != QEvent::WindowStateChange || windowState() & Qt::WindowMinimized)
            return;
        // Once the restoring has run its course: the main window's first showing runs a
        // modal disclaimer, not to be nested in the state change.
        QMetaObject::invokeMethod(this, [this] {
            if (!isVisible() || windowState() & Qt::WindowMinimized)
                return;
            hide();
            mainWindow_.setWindowState(Qt::WindowNoState);
            mainWindow_.show();
        }, Qt::QueuedConnection);
    }

    void closeEvent(QCloseEvent* event) override
    {
        event->accept();
        QCoreApplication::quit();
    }

private:
    QWidget& mainWindow_;
};

}  // namespace

int runProgram(QApplication& application, QWidget& mainWindow,
               const std::function<void()>& teardownWrite, ShowRequest request)
{
#if QT_CONFIG(sessionmanager)
    // The main window has no close check: the program agrees to a log-off at once and
    // asks nothing. The end itself comes as a quit request, which the application
    // object turns into the end of the event loop; the teardown then writes.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &application,
                     [](QSessionManager&) {});
#endif

    RestoreWaiter waiter(mainWindow);
    switch (request) {
    case ShowRequest::MinimizedNoActivate:
        waiter.showMinimized();
        break;
    case ShowRequest::Maximized:
        mainWindow.setWindowState(Qt::WindowMaximized);
        mainWindow.show();
        break;
    case ShowRequest::Normal:
        mainWindow.show();
        break;
    }

    // A main window closed during its own first showing (the disclaimer declined) asks
    // to quit before the event loop runs, and such a request is dropped: the loop
    // would then wait forever with no window. It is not entered at all.
    if (mainWindow.isVisible() || waiter.isVisible())
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
