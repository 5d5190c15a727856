#pragma once

#include <QObject>

#include <cstdint>
#include <vector>

class QDBusServiceWatcher;
class QTimer;

// What can show a status icon right now.
enum class TrayHost {
    None,
    StatusNotifier, // a StatusNotifierWatcher on the session bus (KDE, LXQt, Xfce, GNOME's extension)
    XEmbed,         // an X11 system tray (the _NET_SYSTEM_TRAY_Sn selection has an owner)
    Native,         // the platform's own (the macOS menu bar)
};

// Follows the tray hosts of the desktop session as panels start, stop and restart. A
// StatusNotifierWatcher is preferred to an XEmbed tray: where both exist, the XEmbed tray is
// usually a bridge into the same panel.
class TrayHostWatcher final : public QObject {
    Q_OBJECT
public:
    static constexpr int xembedPollMs = 1000;

    explicit TrayHostWatcher(QObject* parent = nullptr);
    ~TrayHostWatcher() override;

    TrayHost host() const { return current; }

Q_SIGNALS:
    // The host changed, or a StatusNotifierWatcher was replaced by a new one (a restarted panel),
    // which forgets the items registered with its predecessor.
    void hostChanged();

private:
    void update(bool watcherReplaced);
    bool hasXEmbedTray() const;

    TrayHost current = TrayHost::None;
    bool watcherPresent = false;
    QDBusServiceWatcher* serviceWatcher = nullptr;
    mutable std::vector<uint32_t> trayAtoms; // _NET_SYSTEM_TRAY_Sn of each screen, looked up once
    QTimer* xembedPoll = nullptr;            // while there is no watcher, under X11 only
};
