#include "app/AppDelegate.h"

namespace talverin {

namespace {
const char* const launchAtLoginPrefix = "自動起動の設定：";
const char* const noSerialMessage = "PCのシリアル番号が取得できませんでした";

const char* boolText(bool value) {
    return value ? "true" : "false";
}
} // namespace

void AppDelegate::applicationDidFinishLaunching() {
    automaticLaunchWithManualSetting(false);

    statusBarItem = platform_.statusBar.statusItemWithLength(StatusBar::squareLength);
    if (statusBarItem->hasButton()) {
        statusBarItem->setImage("icon");
    }
    Menu menu{"Talverin App", {}};
    menu.items.push_back(MenuItem{"アバウト", [this] { about(); }, ""});
    menu.items.push_back(MenuItem{"TALVERINページへ", [this] { toSite(); }, ""});
    menu.items.push_back(MenuItem{"終了", [this] { quit(); }, ""});
    statusBarItem->setMenu(std::move(menu));
    refreshToolTip();

    platform_.systemEvents.observe({
        .screenLocked = [this](bool locked) { screenLocked(locked); },
        .sleeping = [this](bool asleep) { sleeping(asleep); },
        .powerOff = [this](bool announced) { announced ? powerOff() : powerOffCancelled(); },
        .sessionEnding = [this](bool ending) { sessionEnding(ending); },
        .networkBack = [this] { networkBack(); },
    });
    if (!platform_.systemEvents.isNetworkReachable()) {
        writeLog(
            "ネットワークの状態を取得できないため、未送信の打刻は次の開始時の打刻の後に送信します");
    }

    std::optional<std::string> serial = platform_.serialNumber.read();
    if (!serial) {
        showErrorAndQuit(noSerialMessage);
        return;
    }

    const OperatingSystemVersion os = platform_.systemInfo.operatingSystemVersion();
    writeLog("MacOS: " + std::to_string(os.majorVersion) + "." + std::to_string(os.minorVersion) +
             "." + std::to_string(os.patchVersion));
    writeLog("Version: " + versionString());
    writeLog("TimeZone: " + platform_.systemInfo.timeZoneIdentifier() + " / IsDaylightSaving: " +
             boolText(platform_.systemInfo.isDaylightSavingTime(platform_.clock.now())));

    seirialNumber = std::move(serial);
    arriveWithUnSentKey("", [] {});
    printLine(apiBase());
}

void AppDelegate::automaticLaunchWithManualSetting(bool manualSetting) {
    LaunchAtLogin& launchAtLogin = platform_.launchAtLogin;
    const bool wanted = manualSetting ? !launchAtLogin.isEnabled() : _launchAtLogin;
    launchAtLogin.setEnabled(wanted);
    _launchAtLogin = launchAtLogin.isEnabled();

    const std::string message =
        std::string(launchAtLoginPrefix) + boolText(launchAtLogin.isEnabled());
    writeLog(message);
    if (manualSetting) {
        platform_.alerts.runModal(Alert{std::nullopt, message, AlertStyle::Informational});
    }
}

std::string AppDelegate::versionString() {
    return platform_.systemInfo.shortVersionString() + "." + platform_.systemInfo.bundleVersion();
}

void AppDelegate::showErrorAndQuit(const std::string& message) {
    platform_.alerts.runModal(Alert{"エラー", message, AlertStyle::Warning});
    platform_.application.terminate();
}

} // namespace talverin
