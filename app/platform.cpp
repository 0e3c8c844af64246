#include "platform.h"

#include <QCoreApplication>

#ifdef _WIN32
#include <objbase.h>
#include <windows.h>
#else
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef _WIN32

ComApartment::ComApartment()
{
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    initialised_ = SUCCEEDED(result);  // S_FALSE (already initialised) must be balanced too
}

ComApartment::~ComApartment()
{
    if (initialised_)
        CoUninitialize();
}

ShowRequest launcherShowRequest()
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    if (!(startup.dwFlags & STARTF_USESHOWWINDOW))
        return ShowRequest::Normal;
    switch (startup.wShowWindow) {
    case SW_SHOWMAXIMIZED:
        return ShowRequest::Maximized;
    case SW_SHOWMINNOACTIVE:
        return ShowRequest::MinimizedNoActivate;
    default:
        return ShowRequest::Normal;
    }
}

bool frameEdgeAsBorder(void* message, qintptr* result)
{
    const auto* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_NCHITTEST)
        return false;
    switch (DefWindowProcW(msg->hwnd, msg->message, msg->wParam, msg->lParam)) {
    case HTLEFT:
    case HTRIGHT:
    case HTTOP:
    case HTBOTTOM:
    case HTTOPLEFT:
    case HTTOPRIGHT:
    case HTBOTTOMLEFT:
    case HTBOTTOMRIGHT:
        *result = HTBORDER;
        return true;
    default:
        return false;
    }
}

void endEventLoopOnTerminationSignals(QCoreApplication*)
{
}

#else

ComApartment::ComApartment() = default;
ComApartment::~ComApartment() = default;

ShowRequest launcherShowRequest()
{
    return ShowRequest::Normal;
}

bool frameEdgeAsBorder(void*, qintptr*)
{
    return false;
}

namespace {

// [0] is written by the signal handler, [1] is watched by the event loop.
int signalSockets[2] = {-1, -1};

extern "C" void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
    errno = savedErrno;
}

}  // namespace

void endEventLoopOnTerminationSignals(QCoreApplication* application)
{
    if (signalSockets[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0) {
        signalSockets[0] = signalSockets[1] = -1;
        return;
    }

    auto* notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, application);
    QObject::connect(notifier, &QSocketNotifier::activated, application, [] {
        char bytes[16];
        while (::read(signalSockets[1], bytes, sizeof bytes) > 0) {
        }
        // Ends every running event loop, a modal dialog's included, without asking
        // any window: the teardown that follows writes the open store.
        QCoreApplication::exit(0);
    });

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signalNumber, &action, nullptr);
}

#endif
