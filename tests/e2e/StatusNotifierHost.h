#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <vector>

namespace talverin::testing {

// One picture of a StatusNotifierItem's IconPixmap: width, height and ARGB32 bytes.
struct ItemPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};

// One entry of a dbusmenu layout.
struct MenuEntry {
    int id = 0;
    QString label;
    bool enabled = false;
    bool visible = false;
};

// What a StatusNotifierItem host (a Plasma panel, say) does with the agent's item: finds it
// through the watcher, reads its properties and menu, and clicks menu entries.
class StatusNotifierHost {
public:
    explicit StatusNotifierHost(QDBusConnection sessionBus);

    // The items the watcher holds now.
    QStringList registeredItems() const;
    // Waits until exactly one item is registered and remembers it.
    bool waitForItem(int timeoutMs = 30000);

    QVariant itemProperty(const QString& name) const;
    std::vector<ItemPixmap> iconPixmaps() const;
    // The item's menu, top level, in order; nothing when it cannot be read.
    std::optional<std::vector<MenuEntry>> menuEntries() const;
    // Sends the "clicked" event of the entry with that label, as a host does on a click.
    bool clickMenuEntry(const QString& label) const;
    // A primary click on the icon at that point on the screen.
    bool activate(int x, int y) const;

private:
    QString menuPath() const;

    QDBusConnection bus_;
    QString service_;
};

} // namespace talverin::testing
