#include "app/AppDelegate.h"

#include "stamp/StampUrl.h"

namespace talverin {

namespace {
Alert stampDoneAlert() {
    return Alert{std::nullopt, "打刻しました", AlertStyle::Informational};
}
} // namespace

void AppDelegate::about() {
    platform_.alerts.runModal(
        Alert{"TALVERIN 自動打刻アプリ For OSX", "version " + versionString(), std::nullopt});
}

void AppDelegate::toSite() {
    if (auto url = makeUrl(serviceOrigin_)) {
        platform_.workspace.openUrl(*url);
    }
}

void AppDelegate::quit() {
    platform_.application.terminate();
}

// The dialog is queued by the outcome handler only on acceptance, so a stamp that fails, or one
// resent later, never announces itself.
void AppDelegate::arriveNow() {
    arriveWithUnSentKey("", [this] { platform_.alerts.runModal(stampDoneAlert()); });
}

void AppDelegate::leaveNow() {
    leaveWithUnSentKey("", [this] { platform_.alerts.runModal(stampDoneAlert()); });
}

bool AppDelegate::isUnsentLeavingKey(const std::string& key) {
    const std::string prefix = std::string(traitsOf(StampKind::leaving).label) + "_";
    return key.starts_with(prefix) && platform_.defaults.stringForKey(key).has_value();
}

void AppDelegate::automaticLaunchManual() {
    automaticLaunchWithManualSetting(true);
}

} // namespace talverin
