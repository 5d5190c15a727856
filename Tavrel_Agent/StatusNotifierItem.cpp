#include "Tavrel_Agent/StatusNotifierItem.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QEvent>
#include <QImage>
#include <QMenu>
#include <QTimer>
#include <QtEndian>

namespace {
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");

void registerTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<SniImage>();
        qDBusRegisterMetaType<SniImageList>();
        qDBusRegisterMetaType<SniToolTip>();
        qDBusRegisterMetaType<DBusMenuLayout>();
        qDBusRegisterMetaType<DBusMenuItem>();
        qDBusRegisterMetaType<DBusMenuItemList>();
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<DBusMenuEventList>();
        return true;
    }();
    (void)registered;
}

SniImage sniImage(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    SniImage converted{.width = argb.width(), .height = argb.height(), .pixels = {}};
    converted.pixels.resize(qsizetype(argb.width()) * argb.height() * 4);
    auto* out = reinterpret_cast<uchar*>(converted.pixels.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4)
            qToBigEndian(line[x], out);
    }
    return converted;
}
} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const SniImage& image) {
    argument.beginStructure();
    argument << image.width << image.height << image.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniImage& image) {
    argument.beginStructure();
    argument >> image.width >> image.height >> image.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip) {
    argument.beginStructure();
    argument << tip.iconName << tip.images << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip) {
    argument.beginStructure();
    argument >> tip.iconName >> tip.images >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout) {
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const QDBusVariant& child : layout.children)
        argument << child;
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout) {
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        layout.children.append(child);
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

QString dbusMenuLabel(const QString& menuText) {
    QString label;
    label.reserve(menuText.size());
    for (qsizetype i = 0; i < menuText.size(); ++i) {
        const QChar c = menuText.at(i);
        if (c == u'&') {
            // "&&" is a written "&"; a single "&" only marks a mnemonic, which is dropped.
            if (i + 1 < menuText.size() && menuText.at(i + 1) == u'&')
                label += u'&', ++i;
        } else if (c == u'_') {
            label += QStringLiteral("__");
        } else {
            label += c;
        }
    }
    return label;
}

// org.kde.StatusNotifierItem at /StatusNotifierItem.
class SniItemAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(SniImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(SniImageList OverlayIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(SniImageList AttentionIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
public:
    explicit SniItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item)
        , owner(item) {
        connect(item, &StatusNotifierItem::newIcon, this, &SniItemAdaptor::NewIcon);
        connect(item, &StatusNotifierItem::newToolTip, this, &SniItemAdaptor::NewToolTip);
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("tavrel-agent"); }
    QString title() const { return QStringLiteral("Tavrel Agent"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString none() const { return {}; }
    SniImageList noImages() const { return {}; }
    SniImageList iconPixmap() const { return owner->iconPixmap(); }
    SniToolTip toolTip() const { return owner->toolTip(); }
    // The menu is the item's whole purpose, as on the macOS menu bar: a primary click opens it.
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }

public Q_SLOTS:
    void ContextMenu(int x, int y) { Q_EMIT owner->activated(QPoint(x, y)); }
    void Activate(int x, int y) { Q_EMIT owner->activated(QPoint(x, y)); }
    void SecondaryActivate(int, int) {}
    void Scroll(int, const QString&) {}

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* owner;
};

// com.canonical.dbusmenu at /MenuBar: the entries of the QMenu, numbered from 1 in menu order
// (0 is the root), with their labels as written and their enabled state.
class DBusMenuAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    DBusMenuAdaptor(QObject* parent, QMenu* exportedMenu)
        : QDBusAbstractAdaptor(parent)
        , menu(exportedMenu) {
        // Any added, removed or changed entry makes hosts read the layout again, once per turn of
        // the event loop however many entries changed.
        layoutChange.setSingleShot(true);
        layoutChange.setInterval(0);
        connect(&layoutChange, &QTimer::timeout, this, [this] { Q_EMIT LayoutUpdated(++revision, 0); });
        menu->installEventFilter(this);
    }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   DBusMenuLayout& layout) {
        layout =
            DBusMenuLayout{.id = parentId, .properties = properties(parentId, propertyNames), .children = {}};
        if (parentId == 0 && recursionDepth != 0) {
            for (int id = 1; id <= menu->actions().size(); ++id)
                layout.children.append(QDBusVariant(QVariant::fromValue(
                    DBusMenuLayout{.id = id, .properties = properties(id, propertyNames), .children = {}})));
        }
        return revision;
    }

    DBusMenuItemList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
        DBusMenuItemList items;
        for (const int id : ids)
            items.append({.id = id, .properties = properties(id, propertyNames)});
        return items;
    }

    QDBusVariant GetProperty(int id, const QString& name) {
        return QDBusVariant(properties(id, {name}).value(name));
    }

    void Event(int id, const QString& eventId, const QDBusVariant&, uint) {
        QAction* action = actionFor(id);
        // Queued, so that the host has its answer before the action runs (Quit ends the app).
        if (action && eventId == QLatin1String("clicked") && action->isEnabled() && !action->isSeparator())
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    }

    QList<int> EventGroup(const DBusMenuEventList& events) {
        QList<int> unknown;
        for (const DBusMenuEvent& event : events) {
            if (actionFor(event.id))
                Event(event.id, event.eventId, event.data, event.timestamp);
            else
                unknown.append(event.id);
        }
        return unknown;
    }

    bool AboutToShow(int) { return false; }

    QList<int> AboutToShowGroup(const QList<int>&, QList<int>& idErrors) {
        idErrors.clear();
        return {};
    }

Q_SIGNALS:
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (watched == menu &&
            (type == QEvent::ActionAdded || type == QEvent::ActionRemoved || type == QEvent::ActionChanged))
            layoutChange.start();
        return QDBusAbstractAdaptor::eventFilter(watched, event);
    }

private:
    QAction* actionFor(int id) const {
        const QList<QAction*> actions = menu->actions();
        return id >= 1 && id <= actions.size() ? actions.at(id - 1) : nullptr;
    }

    QVariantMap properties(int id, const QStringList& names) const {
        QVariantMap all;
        if (id == 0) {
            all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        } else if (const QAction* action = actionFor(id)) {
            if (action->isSeparator()) {
                all.insert(QStringLiteral("type"), QStringLiteral("separator"));
            } else {
                all.insert(QStringLiteral("label"), dbusMenuLabel(action->text()));
                all.insert(QStringLiteral("enabled"), action->isEnabled());
            }
            all.insert(QStringLiteral("visible"), action->isVisible());
        }
        if (names.isEmpty())
            return all;
        QVariantMap wanted;
        for (const QString& name : names)
            if (all.contains(name))
                wanted.insert(name, all.value(name));
        return wanted;
    }

    QMenu* menu;
    QTimer layoutChange;
    uint revision = 1;
};

StatusNotifierItem::StatusNotifierItem(QMenu* menu, QObject* parent)
    : QObject(parent)
    , service(QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid()))
    , menuObject(new QObject(this)) {
    registerTypes();
    new SniItemAdaptor(this);
    new DBusMenuAdaptor(menuObject, menu);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!exported)
        return;
    // The watcher drops the item when its name leaves the bus.
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(itemPath);
    bus.unregisterObject(menuPath);
    bus.unregisterService(service);
}

bool StatusNotifierItem::registerWithWatcher() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!exported) {
        // Objects first: the host reads the item as soon as it learns of it.
        exported = bus.registerObject(itemPath, this, QDBusConnection::ExportAdaptors) &&
                   bus.registerObject(menuPath, menuObject, QDBusConnection::ExportAdaptors) &&
                   bus.registerService(service);
        if (!exported) {
            bus.unregisterObject(itemPath);
            bus.unregisterObject(menuPath);
            return false;
        }
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("RegisterStatusNotifierItem"));
    call << service;
    return bus.send(call);
}

void StatusNotifierItem::setIcon(const QList<QImage>& images) {
    icon.clear();
    for (const QImage& image : images)
        icon.append(sniImage(image));
    Q_EMIT newIcon();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
    if (tip.title == title && tip.text == text.toHtmlEscaped())
        return;
    tip.title = title;
    tip.text = text.toHtmlEscaped();
    Q_EMIT newToolTip();
}

#include "StatusNotifierItem.moc"
