#include "DelegateFixture.h"

#include <gmock/gmock.h>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using CommandsTest = DelegateFixture;

TEST_F(CommandsTest, AboutSiteAndQuitDoOnlyWhatTheySay) {
    startRunning();

    delegate.about();
    delegate.toSite();
    delegate.quit();

    EXPECT_THAT(entries(),
                ElementsAre("alert: TALVERIN 自動打刻アプリ For OSX / version 1.0.3 / default",
                            "open: " + serviceOrigin, "terminate"));
    EXPECT_EQ(fake.urlSession.pending(), 0u);
    EXPECT_EQ(fake.mainQueue.pending(), 0u);
}

TEST_F(CommandsTest, SiteThatIsNoUrlIsNotOpened) {
    AppDelegate unusable(fake.platform(), AppDelegate::Options{"https://talverin example", 0});
    unusable.toSite();
    EXPECT_THAT(fake.journal.entriesStartingWith("open: "), IsEmpty());
}

TEST_F(CommandsTest, ManualStampsAnnounceOnlyTheirOwnAcceptanceOnTheMainQueue) {
    startRunning();

    delegate.arriveNow();
    delegate.leaveNow();
    fake.urlSession.answerStatus(200, "ok"); // the arrival
    fake.urlSession.answerStatus(201, "ok"); // the leaving
    EXPECT_THAT(fake.alerts.shown, IsEmpty()) << "the dialog waits for the main queue";

    fake.mainQueue.drain();
    EXPECT_THAT(fake.journal.entriesStartingWith("alert: "),
                ElementsAre("- / 打刻しました / 1", "- / 打刻しました / 1"));
    EXPECT_EQ(fake.application.terminateRequests, 0) << "a manual leaving stamp does not quit";
}

TEST_F(CommandsTest, FailedManualStampNeverAnnouncesEvenWhenResentWithSuccess) {
    startRunning();

    setClock(1, 9, 0, 0);
    delegate.arriveNow();
    fake.urlSession.failTransfer();
    setClock(1, 9, 1, 0);
    delegate.leaveNow();
    fake.urlSession.answerStatus(500, "down");
    fake.mainQueue.drain();
    EXPECT_THAT(fake.alerts.shown, IsEmpty());
    EXPECT_EQ(recordKeys().size(), 2u);

    // The next fresh arrival resends both; their acceptance is silent.
    setClock(1, 10, 0, 0);
    delegate.arriveWithUnSentKey("", [] {});
    fake.urlSession.answerStatus(200, "ok");
    ASSERT_EQ(fake.urlSession.pending(), 2u);
    fake.urlSession.answerStatus(200, "ok");
    fake.urlSession.answerStatus(200, "ok");
    fake.mainQueue.drain();

    EXPECT_THAT(fake.alerts.shown, IsEmpty());
    EXPECT_THAT(fake.defaults.values, IsEmpty());
}

TEST_F(CommandsTest, LeaveNowDoesNotLockTermination) {
    fake.application.attach(delegate);
    startRunning();

    delegate.leaveNow();
    fake.urlSession.failTransfer();
    fake.mainQueue.drain();
    EXPECT_EQ(fake.application.terminateRequests, 0);

    // The first quit afterwards is still held for its own stamp.
    fake.application.terminate();
    EXPECT_EQ(fake.journal.entriesStartingWith("answer: "), std::vector<std::string>{"Later"});
    EXPECT_FALSE(fake.application.ended);
}

TEST_F(CommandsTest, ManualLaunchAtLoginTogglesAndTellsTheUserEachTime) {
    startRunning();
    ASSERT_TRUE(fake.launchAtLogin.enabled);

    delegate.automaticLaunchManual();
    EXPECT_FALSE(fake.launchAtLogin.enabled);
    delegate.automaticLaunchManual();
    EXPECT_TRUE(fake.launchAtLogin.enabled);

    EXPECT_THAT(entries(),
                ElementsAre("log: 自動起動の設定：false", "alert: - / 自動起動の設定：false / 1",
                            "log: 自動起動の設定：true", "alert: - / 自動起動の設定：true / 1"));
}

TEST_F(CommandsTest, LaunchAtLoginWithoutManualSettingReappliesTheHeldWishSilently) {
    startRunning();
    delegate.automaticLaunchManual();  // holds false from now on
    fake.launchAtLogin.enabled = true; // switched on behind the agent's back
    fake.journal.clear();

    delegate.automaticLaunchWithManualSetting(false);

    EXPECT_FALSE(fake.launchAtLogin.enabled);
    EXPECT_THAT(entries(), ElementsAre("log: 自動起動の設定：false"));
}

TEST_F(CommandsTest, RefusedToggleReportsTheStateInForce) {
    startRunning();
    fake.launchAtLogin.refuseChanges = true;

    delegate.automaticLaunchManual();

    EXPECT_THAT(entries(),
                ElementsAre("log: 自動起動の設定：true", "alert: - / 自動起動の設定：true / 1"));
}

} // namespace
} // namespace talverin::testing
