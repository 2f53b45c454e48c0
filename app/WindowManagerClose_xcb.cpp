#include "WindowManagerClose.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QMetaObject>
#include <QObject>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

xcb_atom_t InternAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (reply == nullptr) return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

// Sees WM_DELETE_WINDOW before Qt decides whether the window may close. A
// child of the window: it goes, and stops filtering, with it.
class CloseRequestFilter : public QObject, public QAbstractNativeEventFilter {
public:
    CloseRequestFilter(QWidget* window, xcb_atom_t protocols, xcb_atom_t deleteWindow)
        : QObject(window), window_(window), protocols_(protocols), deleteWindow_(deleteWindow) {
        qApp->installNativeEventFilter(this);
    }
    ~CloseRequestFilter() override { qApp->removeNativeEventFilter(this); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE) return false;
        const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (client->type != protocols_ || client->format != 32 || client->data.data32[0] != deleteWindow_) return false;
        if (client->window != static_cast<xcb_window_t>(window_->winId())) return false;
        // Only while a modal box blocks the window; otherwise Qt's own
        // handling closes it.
        if (QGuiApplication::modalWindow() == nullptr) return false;
        QMetaObject::invokeMethod(this, [this] { window_->close(); }, Qt::QueuedConnection);
        return true;
    }

private:
    QWidget* window_;
    xcb_atom_t protocols_;
    xcb_atom_t deleteWindow_;
};

}  // namespace

void CloseOnWindowManagerRequest(QWidget* window) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    // Not on X11 (offscreen, another display server): nothing to do here.
    if (x11 == nullptr || x11->connection() == nullptr) return;
    xcb_connection_t* connection = x11->connection();
    const xcb_atom_t protocols = InternAtom(connection, "WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = InternAtom(connection, "WM_DELETE_WINDOW");
    if (protocols == XCB_ATOM_NONE || deleteWindow == XCB_ATOM_NONE) return;
    new CloseRequestFilter(window, protocols, deleteWindow);
}
