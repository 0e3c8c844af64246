#pragma once
// The few pieces of the program's life cycle that differ between platforms: the
// component object model for the user-interface thread, the launcher's show request,
// the main window's frame edges that cannot be dragged, and the orderly end on the
// POSIX termination signals.

#include <QtGlobal>

class QCoreApplication;

// Initialises the component object model for this thread as a single-threaded
// apartment and releases it on destruction, only if the initialisation succeeded.
// Does nothing where there is no such model.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_ = false;
};

// How the launcher asked the program's first window to be shown.
enum class ShowRequest { Normal, Maximized, MinimizedNoActivate };

// The launcher's request; always Normal where the launcher gives none.
ShowRequest launcherShowRequest();

// For a window's native event handler: answers the system's hit test over the frame's
// edges and corners as plain border, so that the user cannot drag them, and returns
// true when it did. False for every other message, and on platforms where the window
// manager, not the program, decides what the frame's edges do.
bool frameEdgeAsBorder(void* message, qintptr* result);

// Makes SIGTERM, SIGHUP and SIGINT end the event loop with exit code 0, so the
// program tears down in order and writes its store. The signal handler only writes a
// byte into a socket pair; the event loop reads it and ends. No effect on platforms
// without these signals. Call once, after the application object exists.
void endEventLoopOnTerminationSignals(QCoreApplication* application);
