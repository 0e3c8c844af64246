#include "windowManager.h"

#include <QWidget>

#ifdef QUORREL_X11
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>
#endif

namespace {

// The frame as Qt knows it: on most platforms as soon as the native window exists.
QMargins frameKnownToQt(const QWidget* window)
{
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(),
            outer.right() - inner.right(), outer.bottom() - inner.bottom()};
}

#ifdef QUORREL_X11

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

xcb_connection_t* x11Connection()
{
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const auto length = static_cast<uint16_t>(std::strlen(name));
    const ReplyPtr<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, length, name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The 32-bit values of a property, empty when the window has none of that type.
std::vector<uint32_t> property32(xcb_connection_t* connection, xcb_window_t window,
                                 xcb_atom_t name, xcb_atom_t type)
{
    const ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, type, 0, 1024), nullptr));
    if (!reply || reply->type != type || reply->format != 32)
        return {};
    const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

// _NET_FRAME_EXTENTS, as the manager wrote it on the window: left, right, top, bottom.
std::optional<QMargins> frameExtents(xcb_connection_t* connection, xcb_window_t window)
{
    const std::vector<uint32_t> extents =
        property32(connection, window, atom(connection, "_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL);
    if (extents.size() != 4)
        return std::nullopt;
    return QMargins(int(extents[0]), int(extents[2]), int(extents[1]), int(extents[3]));
}

xcb_window_t rootOf(xcb_connection_t* connection, xcb_window_t window)
{
    const ReplyPtr<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr));
    return geometry ? geometry->root : xcb_window_t(XCB_WINDOW_NONE);
}

bool managerSupports(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t wanted)
{
    for (const uint32_t supported :
         property32(connection, root, atom(connection, "_NET_SUPPORTED"), XCB_ATOM_ATOM)) {
        if (supported == wanted)
            return true;
    }
    return false;
}

// Asks the manager to write the frame it would give the window (the window need not
// be mapped) and waits briefly for the answer.
std::optional<QMargins> requestFrameExtents(xcb_connection_t* connection, xcb_window_t window)
{
    const xcb_window_t root = rootOf(connection, window);
    const xcb_atom_t request = atom(connection, "_NET_REQUEST_FRAME_EXTENTS");
    if (root == XCB_WINDOW_NONE || !managerSupports(connection, root, request))
        return std::nullopt;

    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = request;
    xcb_send_event(connection, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connection);
    // A manager that claims the request answers within milliseconds; one that never
    // does costs a fifth of a second once per window.
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (const auto extents = frameExtents(connection, window))
            return extents;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

// The Motif window-manager hints: which fields count, then the functions and the
// decorations asked for.
constexpr uint32_t motifFunctionsAndDecorations = 1 | 2;
constexpr uint32_t motifFunctionMove = 4;
constexpr uint32_t motifFunctionClose = 32;
constexpr uint32_t motifDecorationBorder = 2;
constexpr uint32_t motifDecorationTitle = 8;

#endif  // QUORREL_X11

}  // namespace

QMargins windowFrame(const QWidget* window)
{
    // A created window knows its frame on platforms that tell it before the showing.
    const WId id = window->winId();
#ifdef QUORREL_X11
    if (xcb_connection_t* connection = x11Connection()) {
        const auto native = static_cast<xcb_window_t>(id);
        if (const auto extents = frameExtents(connection, native))
            return *extents;
        if (const auto extents = requestFrameExtents(connection, native))
            return *extents;
    }
#else
    Q_UNUSED(id);
#endif
    return frameKnownToQt(window);
}

void askForCloseBoxOnly(QWidget* dialog)
{
#ifdef QUORREL_X11
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return;
    const auto native = static_cast<xcb_window_t>(dialog->winId());
    const uint32_t motifHints[5] = {motifFunctionsAndDecorations,
                                    motifFunctionMove | motifFunctionClose,
                                    motifDecorationBorder | motifDecorationTitle, 0, 0};
    const xcb_atom_t motif = atom(connection, "_MOTIF_WM_HINTS");
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, native, motif, motif, 32, 5, motifHints);
    // Qt adds the normal type after the dialog type, for managers that know no dialogs.
    const xcb_atom_t dialogType = atom(connection, "_NET_WM_WINDOW_TYPE_DIALOG");
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, native,
                        atom(connection, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &dialogType);
    xcb_flush(connection);
#else
    // Elsewhere Qt's flags already give the dialog frame with only a close box.
    Q_UNUSED(dialog);
#endif
}
