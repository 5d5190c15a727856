#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <vector>

class QDBusServiceWatcher;

// What can show a status icon right now.
enum class TrayHost {
    None,
    StatusNotifier, // a StatusNotifierWatcher on the session bus (KDE, LXQt, Xfce, GNOME's extension)
    XEmbed,         // an X11 system tray (the _NET_SYSTEM_TRAY_Sn selection has an owner)
    Native,         // the platform's own (the macOS menu bar)
};

// Follows the tray hosts of the desktop session as panels start, stop and restart. A
// StatusNotifierWatcher is preferred to an XEmbed tray: where both exist, the XEmbed tray is
// usually a bridge into the same panel. Both are heard of, never polled: the bus tells of the
// watcher's owner, the X server of a tray that takes its selection or whose window goes away.
class TrayHostWatcher final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QObject* parent = nullptr);
    ~TrayHostWatcher() override;

    TrayHost host() const { return current; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // The host changed, or a StatusNotifierWatcher was replaced by a new one (a restarted panel),
    // which forgets the items registered with its predecessor.
    void hostChanged();

private:
    void update(bool watcherReplaced);
    bool hasXEmbedTray();
    void listenToX11();

    TrayHost current = TrayHost::None;
    bool watcherPresent = false;
    QDBusServiceWatcher* serviceWatcher = nullptr;
    std::vector<uint32_t> trayAtoms;  // _NET_SYSTEM_TRAY_Sn of each screen, looked up once
    uint32_t managerAtom = 0;         // the announcement of a tray that took its selection
    std::vector<uint32_t> trayOwners; // the windows holding those selections, whose end we hear of
};
