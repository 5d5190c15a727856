#include "Tavrel_Agent/TrayHost.h"

#include <QGuiApplication>

#if defined(TAVREL_STATUS_NOTIFIER)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#endif

namespace {
#if defined(TAVREL_STATUS_NOTIFIER)
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

xcb_connection_t* x11Connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

template <typename Reply> using XReply = std::unique_ptr<Reply, decltype(&std::free)>;

uint32_t internAtom(xcb_connection_t* connection, const QByteArray& name) {
    const XReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()), nullptr),
        &std::free);
    return atom ? atom->atom : XCB_NONE;
}

// Adds to what this client hears of a window, keeping what was selected before (Qt's own
// choice on the root window). False when the window is gone.
bool addEventMask(xcb_connection_t* connection, xcb_window_t window, uint32_t mask) {
    const XReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr),
        &std::free);
    if (!attributes)
        return false;
    if ((attributes->your_event_mask & mask) == mask)
        return true;
    const uint32_t values[] = {attributes->your_event_mask | mask};
    const XReply<xcb_generic_error_t> error(
        xcb_request_check(
            connection, xcb_change_window_attributes_checked(connection, window, XCB_CW_EVENT_MASK, values)),
        &std::free);
    return !error;
}
#endif
} // namespace

TrayHostWatcher::TrayHostWatcher(QObject* parent)
    : QObject(parent) {
#if defined(TAVREL_STATUS_NOTIFIER)
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        serviceWatcher =
            new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(serviceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& newOwner) {
                    watcherPresent = !newOwner.isEmpty();
                    update(watcherPresent);
                });
        watcherPresent = bus.interface()->isServiceRegistered(watcherService);
    }
    listenToX11();
    update(false);
#else
    current = TrayHost::Native;
#endif
}

// The filter leaves the application with its base.
TrayHostWatcher::~TrayHostWatcher() = default;

void TrayHostWatcher::listenToX11() {
#if defined(TAVREL_STATUS_NOTIFIER)
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return;
    managerAtom = internAtom(connection, "MANAGER");
    const int screens = xcb_setup_roots_length(xcb_get_setup(connection));
    for (int screen = 0; screen < screens; ++screen) {
        if (const uint32_t atom = internAtom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen)))
            trayAtoms.push_back(atom);
    }
    // A tray that takes its selection tells every client through the root window.
    for (auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection)); roots.rem; xcb_screen_next(&roots))
        addEventMask(connection, roots.data->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
    qGuiApp->installNativeEventFilter(this);
#endif
}

bool TrayHostWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
#if defined(TAVREL_STATUS_NOTIFIER)
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7f) {
    case XCB_CLIENT_MESSAGE: {
        const auto* announcement = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (announcement->type == managerAtom && announcement->format == 32 &&
            std::find(trayAtoms.begin(), trayAtoms.end(), announcement->data.data32[1]) != trayAtoms.end())
            update(false);
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        if (std::find(trayOwners.begin(), trayOwners.end(), destroyed->window) != trayOwners.end())
            update(false);
        break;
    }
    default:
        break;
    }
#else
    Q_UNUSED(eventType)
    Q_UNUSED(message)
#endif
    // Qt's own tray icon hears of the same events.
    return false;
}

void TrayHostWatcher::update(bool watcherReplaced) {
    const TrayHost was = current;
    const bool xembed = hasXEmbedTray();
    current = watcherPresent ? TrayHost::StatusNotifier : xembed ? TrayHost::XEmbed : TrayHost::None;
    if (current != was || (watcherReplaced && current == TrayHost::StatusNotifier))
        Q_EMIT hostChanged();
}

bool TrayHostWatcher::hasXEmbedTray() {
    bool found = false;
#if defined(TAVREL_STATUS_NOTIFIER)
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return false;
    std::vector<uint32_t> owners;
    for (const uint32_t atom : trayAtoms) {
        // An owner that ends before we listen to it can no longer be listened to: asked once more,
        // the selection then has no owner or a new one.
        for (int ask = 0; ask < 2; ++ask) {
            const XReply<xcb_get_selection_owner_reply_t> owner(
                xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom), nullptr),
                &std::free);
            if (!owner || owner->owner == XCB_NONE)
                break;
            const xcb_window_t window = owner->owner;
            if (std::find(trayOwners.begin(), trayOwners.end(), window) != trayOwners.end() ||
                addEventMask(connection, window, XCB_EVENT_MASK_STRUCTURE_NOTIFY)) {
                owners.push_back(window);
                found = true;
                break;
            }
        }
    }
    trayOwners = std::move(owners);
#endif
    return found;
}
