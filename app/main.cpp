#include "app/QuorrelApplication.h"
#include "app/lifeCycle.h"
#include "app/platform.h"
#include "ui/main/mainUnit.h"

#include <memory>

int main(int argc, char* argv[])
{
    // The program reads no command line: Qt sees only the program's own name.
    QuorrelApplication application(argc, argv);
    // Released only after the main window and its table are gone.
    ComApartment componentModel;
    endEventLoopOnTerminationSignals(&application);

    // Created hidden; its first showing opens the active list and asks the disclaimer.
    auto mainForm = std::make_unique<tMainForm>();
    const int exitCode = runProgram(application, *mainForm, [&] { mainForm->writeStoreForTeardown(); });
    mainForm.reset();
    return exitCode;
}
