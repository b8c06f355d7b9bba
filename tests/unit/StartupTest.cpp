#include "DelegateFixture.h"

#include <gmock/gmock.h>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using StartupTest = DelegateFixture;

TEST_F(StartupTest, LaunchReportsInOrderSendsOneArrivalAndPrintsTheApiBaseLast) {
    fake.launchAtLogin.enabled = false; // the user switched it off last time

    delegate.applicationDidFinishLaunching();

    const std::string url = apiBase + "stamp/arrival?tim=20240401083005";
    EXPECT_THAT(
        entries(),
        ElementsAre("log: 自動起動の設定：true", "status item: -2", "image: icon",
                    "menu: Talverin App [アバウト|TALVERINページへ|終了]", "observe: power-off",
                    "observe: screen locked", "observe: screen unlocked", "serial read",
                    "log: MacOS: 6.1.0", "log: Version: 1.0.3",
                    "log: TimeZone: Asia/Tokyo / IsDaylightSaving: false",
                    "console: call 開始時の打刻", "console: setUnset: 開始時の打刻_20240401083005",
                    "log: Arrival Endpoint: " + url, "request: POST " + url,
                    "console: " + apiBase));
    EXPECT_TRUE(fake.launchAtLogin.enabled);
    for (const MenuItem& item : fake.statusBar.item->menu.items) {
        EXPECT_EQ(item.keyEquivalent, "") << item.title;
    }
    ASSERT_EQ(fake.urlSession.started.size(), 1u);
    EXPECT_EQ(fake.urlSession.started[0].headers,
              (std::vector<std::pair<std::string, std::string>>{{"X-OSX-NUMBER", "C02TEST123"}}));
    EXPECT_THAT(recordKeys(), ElementsAre("開始時の打刻_20240401083005"));
    EXPECT_EQ(fake.mainQueue.pending(), 0u);
}

TEST_F(StartupTest, RefusedLaunchAtLoginChangeLogsTheStateInForce) {
    fake.launchAtLogin.enabled = false;
    fake.launchAtLogin.refuseChanges = true;

    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(logLines().front(), "自動起動の設定：false");
    EXPECT_THAT(fake.alerts.shown, IsEmpty());
}

TEST_F(StartupTest, WithoutSerialWarnsOnceTheMenuExistsThenOnlyRequestsTermination) {
    fake.serialNumber.serial.reset();

    delegate.applicationDidFinishLaunching();

    EXPECT_THAT(
        entries(),
        ElementsAre("log: 自動起動の設定：true", "status item: -2", "image: icon",
                    "menu: Talverin App [アバウト|TALVERINページへ|終了]", "observe: power-off",
                    "observe: screen locked", "observe: screen unlocked", "serial read",
                    "alert: エラー / PCのシリアル番号が取得できませんでした / 0", "terminate"));
    EXPECT_THAT(fake.defaults.values, IsEmpty());
}

TEST_F(StartupTest, EmptySerialIsStoredAndSentLikeAnyOther) {
    fake.serialNumber.serial = "";

    delegate.applicationDidFinishLaunching();

    ASSERT_EQ(fake.urlSession.started.size(), 1u);
    EXPECT_EQ(fake.urlSession.started[0].headers,
              (std::vector<std::pair<std::string, std::string>>{{"X-OSX-NUMBER", ""}}));
    EXPECT_THAT(fake.alerts.shown, IsEmpty());
}

TEST_F(StartupTest, EnvironmentReportFollowsThePlatform) {
    fake.systemInfo.osVersion = {14, 10, 3};
    fake.systemInfo.shortVersion = "2.0";
    fake.systemInfo.buildNumber = "17";
    fake.systemInfo.zone = "Europe/Berlin";
    fake.systemInfo.daylightSaving = true;

    delegate.applicationDidFinishLaunching();

    const auto lines = logLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_THAT(std::vector(lines.begin() + 1, lines.begin() + 4),
                ElementsAre("MacOS: 14.10.3", "Version: 2.0.17",
                            "TimeZone: Europe/Berlin / IsDaylightSaving: true"));
    EXPECT_EQ(delegate.versionString(), "2.0.17");
}

TEST_F(StartupTest, ScreenLockAndUnlockEachStartOneStampAndNeverAlert) {
    startRunning();

    setClock(1, 12, 0, 0);
    fake.systemEvents.screenLocked();
    setClock(1, 13, 0, 0);
    fake.systemEvents.screenUnlocked();

    const std::string leaving = apiBase + "stamp/leaving?tim=20240401120000";
    const std::string arrival = apiBase + "stamp/arrival?tim=20240401130000";
    EXPECT_THAT(
        entries(),
        ElementsAre("console: call 終了時の打刻", "console: setUnset: 終了時の打刻_20240401120000",
                    "log: Leaving Endpoint: " + leaving, "request: POST " + leaving,
                    "console: call 開始時の打刻", "console: setUnset: 開始時の打刻_20240401130000",
                    "log: Arrival Endpoint: " + arrival, "request: POST " + arrival));

    // Neither outcome, good or bad, shows anything or ends the agent.
    fake.urlSession.answerStatus(200, "ok");
    fake.urlSession.failTransfer();
    fake.mainQueue.drain();
    EXPECT_THAT(fake.alerts.shown, IsEmpty());
    EXPECT_EQ(fake.application.terminateRequests, 0);
}

TEST_F(StartupTest, StatusItemWithoutButtonGetsNoImageButItsMenu) {
    fake.statusBar.withButton = false;

    delegate.applicationDidFinishLaunching();

    EXPECT_EQ(fake.statusBar.item->image, "");
    EXPECT_EQ(fake.statusBar.item->menu.items.size(), 3u);
    EXPECT_EQ(fake.journal.entriesStartingWith("image: ").size(), 0u);
    EXPECT_EQ(consoleLines().back(), apiBase);
}

TEST_F(StartupTest, MenuItemsReachAboutSiteAndQuit) {
    startRunning();
    const auto& items = fake.statusBar.item->menu.items;
    ASSERT_EQ(items.size(), 3u);

    for (const MenuItem& item : items) {
        item.action();
    }

    EXPECT_THAT(entries(),
                ElementsAre("alert: TALVERIN 自動打刻アプリ For OSX / version 1.0.3 / default",
                            "open: " + serviceOrigin, "terminate"));
}

} // namespace
} // namespace talverin::testing
