#include "Tavrel_Agent/TrayHost.h"

#include <QGuiApplication>
#include <QTimer>

#if defined(TAVREL_STATUS_NOTIFIER)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>

#include <xcb/xcb.h>

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
    // The XEmbed tray announces itself with a client message that Qt does not pass on to us, so
    // its selection is looked up once a second: one X round trip, and only while no watcher runs.
    if (x11Connection()) {
        xembedPoll = new QTimer(this);
        xembedPoll->setInterval(xembedPollMs);
        connect(xembedPoll, &QTimer::timeout, this, [this] { update(false); });
    }
    update(false);
#else
    current = TrayHost::Native;
#endif
}

TrayHostWatcher::~TrayHostWatcher() = default;

void TrayHostWatcher::update(bool watcherReplaced) {
    const TrayHost was = current;
    current = watcherPresent ? TrayHost::StatusNotifier : hasXEmbedTray() ? TrayHost::XEmbed : TrayHost::None;
    if (xembedPoll) {
        if (current == TrayHost::StatusNotifier)
            xembedPoll->stop();
        else if (!xembedPoll->isActive())
            xembedPoll->start();
    }
    if (current != was || (watcherReplaced && current == TrayHost::StatusNotifier))
        Q_EMIT hostChanged();
}

bool TrayHostWatcher::hasXEmbedTray() const {
#if defined(TAVREL_STATUS_NOTIFIER)
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return false;
    if (trayAtoms.empty()) {
        const int screens = xcb_setup_roots_length(xcb_get_setup(connection));
        for (int screen = 0; screen < screens; ++screen) {
            const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
            const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
                xcb_intern_atom_reply(connection,
                                      xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()),
                                      nullptr),
                &std::free);
            if (atom)
                trayAtoms.push_back(atom->atom);
        }
    }
    for (const uint32_t atom : trayAtoms) {
        const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
            xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom), nullptr),
            &std::free);
        if (owner && owner->owner != XCB_NONE)
            return true;
    }
#endif
    return false;
}
