#include "platform/linux/DbusCommands.h"

#include "app/AppDelegate.h"

#include <QTimer>

namespace talverin {

DbusCommands::DbusCommands(AppDelegate& delegate) : delegate_(delegate) {}

template <typename Work> void DbusCommands::later(Work work) {
    QTimer::singleShot(0, this, std::move(work));
}

void DbusCommands::about() {
    later([this] { delegate_.about(); });
}

void DbusCommands::toSite() {
    later([this] { delegate_.toSite(); });
}

void DbusCommands::quit() {
    later([this] { delegate_.quit(); });
}

void DbusCommands::arriveNow() {
    later([this] { delegate_.arriveNow(); });
}

void DbusCommands::leaveNow() {
    later([this] { delegate_.leaveNow(); });
}

void DbusCommands::automaticLaunchManual() {
    later([this] { delegate_.automaticLaunchManual(); });
}

void DbusCommands::automaticLaunchWithManualSetting(bool manualSetting) {
    later([this, manualSetting] { delegate_.automaticLaunchWithManualSetting(manualSetting); });
}

void DbusCommands::leaveWithUnSentKey(const QString& unSentKey) {
    later([this, key = unSentKey.toStdString()] { delegate_.leaveWithUnSentKey(key, [] {}); });
}

} // namespace talverin
