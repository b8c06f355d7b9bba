#include "StatusNotifierHost.h"

#include "DesktopDriver.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace talverin::testing {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

std::optional<QVariant> readProperty(const QDBusConnection& bus, const QString& service,
                                     const QString& path, const QString& interface,
                                     const QString& name) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, propertiesInterface, QStringLiteral("Get"));
    call << interface << name;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return std::nullopt;
    }
    return reply.arguments().first().value<QDBusVariant>().variant();
}

// A layout node is (i id, a{sv} properties, av children); only the top level is kept.
std::vector<MenuEntry> childrenOf(const QDBusArgument& node) {
    std::vector<MenuEntry> entries;
    int id = 0;
    QVariantMap properties;
    node.beginStructure();
    node >> id >> properties;
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        const auto childNode = child.variant().value<QDBusArgument>();
        MenuEntry entry;
        QVariantMap childProperties;
        childNode.beginStructure();
        childNode >> entry.id >> childProperties;
        entry.label = childProperties.value(QStringLiteral("label")).toString();
        entry.enabled = childProperties.value(QStringLiteral("enabled"), true).toBool();
        entry.visible = childProperties.value(QStringLiteral("visible"), true).toBool();
        childNode.beginArray();
        while (!childNode.atEnd()) {
            QDBusVariant grandchild;
            childNode >> grandchild;
        }
        childNode.endArray();
        childNode.endStructure();
        entries.push_back(entry);
    }
    node.endArray();
    node.endStructure();
    return entries;
}

} // namespace

StatusNotifierHost::StatusNotifierHost(QDBusConnection sessionBus) : bus_(std::move(sessionBus)) {}

QStringList StatusNotifierHost::registeredItems() const {
    const auto items = readProperty(bus_, watcherService, watcherPath, watcherService,
                                    QStringLiteral("RegisteredStatusNotifierItems"));
    return items ? items->toStringList() : QStringList();
}

bool StatusNotifierHost::waitForItem(int timeoutMs) {
    return waitUntil(
        [&] {
            const QStringList items = registeredItems();
            if (items.size() != 1) {
                return false;
            }
            service_ = items.first();
            return true;
        },
        timeoutMs);
}

QVariant StatusNotifierHost::itemProperty(const QString& name) const {
    return readProperty(bus_, service_, itemPath, itemInterface, name).value_or(QVariant());
}

std::vector<ItemPixmap> StatusNotifierHost::iconPixmaps() const {
    std::vector<ItemPixmap> pixmaps;
    const QVariant value = itemProperty(QStringLiteral("IconPixmap"));
    if (!value.canConvert<QDBusArgument>()) {
        return pixmaps;
    }
    const auto argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        ItemPixmap pixmap;
        argument.beginStructure();
        argument >> pixmap.width >> pixmap.height >> pixmap.argb;
        argument.endStructure();
        pixmaps.push_back(pixmap);
    }
    argument.endArray();
    return pixmaps;
}

QString StatusNotifierHost::menuPath() const {
    return itemProperty(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
}

std::optional<std::vector<MenuEntry>> StatusNotifierHost::menuEntries() const {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath(), menuInterface,
                                                       QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = bus_.call(call, QDBus::Block, 10000);
    // (u revision, (ia{sv}av) layout)
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2) {
        return std::nullopt;
    }
    return childrenOf(reply.arguments().at(1).value<QDBusArgument>());
}

bool StatusNotifierHost::clickMenuEntry(const QString& label) const {
    const auto entries = menuEntries();
    if (!entries) {
        return false;
    }
    for (const MenuEntry& entry : *entries) {
        if (entry.label != label) {
            continue;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath(), menuInterface,
                                                           QStringLiteral("Event"));
        call << entry.id << QStringLiteral("clicked")
             << QVariant::fromValue(QDBusVariant(QVariant(0))) << 0u;
        return bus_.call(call, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
    }
    return false;
}

bool StatusNotifierHost::activate(int x, int y) const {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, itemPath, itemInterface,
                                                       QStringLiteral("Activate"));
    call << x << y;
    return bus_.call(call, QDBus::Block, 10000).type() == QDBusMessage::ReplyMessage;
}

} // namespace talverin::testing
