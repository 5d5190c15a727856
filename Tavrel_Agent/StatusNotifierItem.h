#pragma once

#include <QByteArray>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QVariantMap>

class QAction;
class QImage;
class QMenu;
class SniItemAdaptor;

// One picture of an icon as StatusNotifierItem carries it: ARGB32 in network byte order.
struct SniImage final {
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using SniImageList = QList<SniImage>;

struct SniToolTip final {
    QString iconName;
    SniImageList images;
    QString title;
    QString text; // a subset of HTML, as hosts read it
};

// com.canonical.dbusmenu's records.
struct DBusMenuLayout final {
    int id = 0;
    QVariantMap properties;
    QList<QDBusVariant> children; // each a DBusMenuLayout
};

struct DBusMenuItem final {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

struct DBusMenuEvent final {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

Q_DECLARE_METATYPE(SniImage)
Q_DECLARE_METATYPE(SniToolTip)
Q_DECLARE_METATYPE(DBusMenuLayout)
Q_DECLARE_METATYPE(DBusMenuItem)
Q_DECLARE_METATYPE(DBusMenuEvent)

// The label a dbusmenu host shows as text: takes an entry's QMenu text, in which "&&" stands for
// "&" and a single "&" marks a mnemonic, and writes it in dbusmenu's terms, where "_" is the marker
// and "__" stands for "_". No mnemonic is kept, so no character is underlined.
QString dbusMenuLabel(const QString& menuText);

// The status icon on a StatusNotifierItem host, with its menu exported over dbusmenu. Our own
// rather than QSystemTrayIcon's: Qt's item carries a tooltip title only, and its dbusmenu turns the
// first "&" of a label into the mnemonic marker, so a label cannot show "&" exactly.
class StatusNotifierItem final : public QObject {
    Q_OBJECT
public:
    explicit StatusNotifierItem(QMenu* menu, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // Exports the item on the session bus (once) and registers it with the current watcher; again
    // after a watcher restarted. False when the bus refused.
    bool registerWithWatcher();

    void setIcon(const QList<QImage>& images);
    void setToolTip(const QString& title, const QString& text);

    // What the host reads.
    SniImageList iconPixmap() const { return icon; }
    SniToolTip toolTip() const { return tip; }
    QString serviceName() const { return service; }

Q_SIGNALS:
    // The host asked for the item's own action (a primary click where the host has no menu).
    void activated(const QPoint& position);
    void newIcon();
    void newToolTip();

private:
    QString service;
    bool exported = false;
    SniImageList icon;
    SniToolTip tip;
    QObject* menuObject = nullptr; // carries the dbusmenu adaptor at its own object path
};
