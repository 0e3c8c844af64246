#pragma once
// The program's life from the first showing of its main window to the exit code.

#include "platform.h"

#include <functional>

class QApplication;
class QWidget;

// Shows mainWindow as the launcher asked (request; the window places itself) and runs
// the event loop until the program ends: the main window closed, the session ending
// or a termination signal. A minimised start shows only the program's task-bar entry
// and leaves the main window hidden, its first showing not run, until the user
// restores the program; closed from the task bar before that, the program ends without
// ever showing it. Then runs teardownWrite, which writes the open store; a failure
// there is still shown in the error box captioned with the application title before
// the program ends. Returns the exit code, 0 on every orderly end. The caller destroys
// the window afterwards.
int runProgram(QApplication& application, QWidget& mainWindow,
               const std::function<void()>& teardownWrite,
               ShowRequest request = launcherShowRequest());
