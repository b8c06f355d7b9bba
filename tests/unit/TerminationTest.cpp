#include "DelegateFixture.h"

#include <gmock/gmock.h>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// The fake application plays the runner, so "ended" means the termination protocol really
// finished.
class TerminationTest : public DelegateFixture {
protected:
    TerminationTest() { fake.application.attach(delegate); }

    const std::string quitKey = "終了時の打刻_20240401180741";
    const std::string quitUrl = apiBase + "stamp/leaving?tim=20240401180741";
};

TEST_F(TerminationTest, FirstQuitIsHeldUntilItsLeavingStampIsAccepted) {
    startRunning();
    setClock(1, 18, 7, 41);

    fake.application.terminate();

    EXPECT_THAT(entries(),
                ElementsAre("terminate", "console: applicationShouldTerminate.lockTerminate: false",
                            "console: setUnset: " + quitKey, "console: call 終了時の打刻",
                            "log: Leaving Endpoint: " + quitUrl, "request: POST " + quitUrl,
                            "log: 終了時の打刻: " + quitKey, "reply: NO", "answer: Later"));
    EXPECT_FALSE(fake.application.ended);

    fake.urlSession.answerStatus(200, "ok");
    EXPECT_FALSE(fake.application.ended) << "the end waits for the main queue";
    fake.journal.clear();
    fake.mainQueue.drain();

    EXPECT_THAT(entries(),
                ElementsAre("reply: YES", "console: applicationWillTerminate.lockTerminate: true",
                            "terminate", "ended", "terminate"));
    EXPECT_THAT(fake.defaults.values, IsEmpty());
}

TEST_F(TerminationTest, AQuitHeldForAStampItsSerialCannotCarryEndsAndKeepsTheRecord) {
    fake.serialNumber.serial = "C02\r\nX-Other: 1";
    delegate.applicationDidFinishLaunching();
    fake.mainQueue.drain();
    setClock(1, 18, 7, 41);
    fake.journal.clear();

    fake.application.terminate();
    EXPECT_FALSE(fake.application.ended) << "the end waits for the main queue";
    fake.mainQueue.drain();

    EXPECT_THAT(logLines(), ElementsAre("シリアル番号に使用できない文字が含まれているため、"
                                        "終了時の打刻を送信しませんでした:" +
                                            quitKey,
                                        "終了時の打刻: " + quitKey));
    EXPECT_TRUE(fake.application.ended);
    EXPECT_THAT(fake.urlSession.started, IsEmpty());
    EXPECT_THAT(recordKeys(), UnorderedElementsAre("開始時の打刻_20240401083005", quitKey));
}

TEST_F(TerminationTest, HeldQuitEndsAfterTheFailureIsLoggedAndKeepsTheRecord) {
    startRunning();
    setClock(1, 18, 7, 41);
    fake.application.terminate();

    fake.urlSession.failTransfer();
    fake.journal.clear();
    fake.mainQueue.drain();

    EXPECT_EQ(entries().at(0),
              "log: サーバに接続ができなかったため、終了時の打刻を実行できませんでした:"
              "Optional(ConnectionRefusedError (code 1): Connection refused)");
    EXPECT_EQ(entries().at(1), "reply: YES");
    EXPECT_TRUE(fake.application.ended);
    EXPECT_THAT(recordKeys(), ElementsAre(quitKey));
}

TEST_F(TerminationTest, SecondQuitBeforeTheAnswerEndsAtOnce) {
    startRunning();
    setClock(1, 18, 7, 41);
    fake.application.terminate();
    fake.journal.clear();

    fake.application.terminate();

    EXPECT_THAT(entries(),
                ElementsAre("terminate", "console: applicationShouldTerminate.lockTerminate: true",
                            "reply: YES", "answer: Now",
                            "console: applicationWillTerminate.lockTerminate: true", "terminate",
                            "ended"));
    EXPECT_EQ(fake.urlSession.started.size(), 1u);
    EXPECT_THAT(recordKeys(), ElementsAre(quitKey));
}

TEST_F(TerminationTest, OutcomeOfAnOlderLeavingStampEndsAHeldQuit) {
    startRunning();
    setClock(1, 18, 0, 0);
    fake.systemEvents.screenLocked();
    setClock(1, 18, 7, 41);
    fake.application.terminate();

    fake.urlSession.answerStatus(500, "busy", 0); // the screen-lock stamp
    fake.mainQueue.drain();

    EXPECT_TRUE(fake.application.ended);
    EXPECT_EQ(fake.urlSession.pending(), 1u) << "the quit-time stamp is still out";
    EXPECT_THAT(recordKeys(), ElementsAre("終了時の打刻_20240401180000", quitKey));
}

TEST_F(TerminationTest, PowerOffLocksSoTheFollowingTerminationIsGrantedAtOnce) {
    startRunning();
    setClock(1, 18, 7, 41);

    delegate.powerOff();
    fake.application.terminate();

    EXPECT_THAT(entries(),
                ElementsAre("console: powerOff", "console: call 終了時の打刻",
                            "console: setUnset: " + quitKey, "log: Leaving Endpoint: " + quitUrl,
                            "request: POST " + quitUrl, "terminate",
                            "console: applicationShouldTerminate.lockTerminate: true", "reply: YES",
                            "answer: Now", "console: applicationWillTerminate.lockTerminate: true",
                            "terminate", "ended"));
    EXPECT_EQ(fake.urlSession.started.size(), 1u);
}

TEST_F(TerminationTest, PowerOffAloneEndsTheAgentWhenItsOutcomeArrives) {
    startRunning();
    delegate.powerOff();
    delegate.powerOff(); // locked already: another stamp, nothing else
    EXPECT_EQ(fake.urlSession.pending(), 2u);
    EXPECT_EQ(recordKeys().size(), 1u) << "two stamps within one second share a record";
    EXPECT_EQ(fake.application.terminateRequests, 0);

    fake.urlSession.answerStatus(200, "ok");
    fake.journal.clear();
    fake.mainQueue.drain();

    EXPECT_THAT(entries(),
                ElementsAre("reply: YES", "terminate",
                            "console: applicationShouldTerminate.lockTerminate: true", "reply: YES",
                            "answer: Now", "console: applicationWillTerminate.lockTerminate: true",
                            "terminate", "ended"));
}

TEST_F(TerminationTest, LeavingOutcomesWhileOpenChangeNothing) {
    startRunning();
    fake.systemEvents.screenLocked();
    fake.systemEvents.screenLocked();
    fake.urlSession.answerStatus(200, "ok");
    fake.urlSession.failTransfer();
    fake.mainQueue.drain();

    EXPECT_THAT(fake.journal.entriesStartingWith("reply: "), IsEmpty());
    EXPECT_EQ(fake.application.terminateRequests, 0);
    EXPECT_FALSE(fake.application.ended);
}

TEST_F(TerminationTest, WillTerminateRequestsTerminationOnlyWhenLocked) {
    FakePlatform bare; // no runner: the calls alone
    AppDelegate agent(bare.platform(), AppDelegate::Options{serviceOrigin, 0});

    agent.applicationWillTerminate();
    EXPECT_THAT(bare.journal.entries(),
                ElementsAre("console: applicationWillTerminate.lockTerminate: false"));
    agent.powerOff();
    bare.journal.clear();
    agent.applicationWillTerminate();

    EXPECT_THAT(bare.journal.entries(),
                ElementsAre("console: applicationWillTerminate.lockTerminate: true", "terminate"));
    EXPECT_EQ(bare.application.terminateRequests, 1);
}

TEST_F(TerminationTest, QuitWhoseStampCannotBeSentStaysHeldUntilAskedAgain) {
    AppDelegate agent(fake.platform(), AppDelegate::Options{"https://talverin example", 0});
    fake.application.attach(agent);
    agent.applicationDidFinishLaunching();

    fake.application.terminate();
    fake.mainQueue.drain();
    EXPECT_FALSE(fake.application.ended);

    fake.application.terminate();
    EXPECT_TRUE(fake.application.ended);
    EXPECT_THAT(fake.urlSession.started, IsEmpty());
}

// Still to be decided for the agent: with no serial number there is no stamp to wait for.
TEST_F(TerminationTest, FirstQuitWithoutSerialEndsAtOnceWithoutAStamp) {
    fake.serialNumber.serial.reset();

    delegate.applicationDidFinishLaunching(); // the error alert, then a termination request

    EXPECT_THAT(fake.journal.entriesStartingWith("answer: "), ElementsAre("Now"));
    EXPECT_TRUE(fake.application.ended);
    EXPECT_THAT(fake.defaults.values, IsEmpty());
    EXPECT_THAT(fake.urlSession.started, IsEmpty());
}

} // namespace
} // namespace talverin::testing
