#include "DelegateFixture.h"

#include <gmock/gmock.h>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using OutcomeTest = DelegateFixture;

const std::string arrivalKey = "開始時の打刻_20240401090000";
const std::string leavingKey = "終了時の打刻_20240401090000";
const std::string arrivalNotDelivered =
    "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:";

TEST_F(OutcomeTest, OnlyABodyWithAnHttpResponseAndNoErrorIsDelivered) {
    startRunning();
    setClock(1, 9, 0, 0);
    const TransferError refused{"ConnectionRefusedError", 61, "Connection refused"};
    const std::vector<TransferResult> undelivered = {
        {"ok", HttpResponse{true, 200}, refused},
        {std::nullopt, HttpResponse{true, 200}, std::nullopt},
        {"ok", std::nullopt, std::nullopt},
        {"ok", HttpResponse{false, 200}, std::nullopt},
    };
    int completions = 0;

    for (const auto& result : undelivered) {
        delegate.arriveWithUnSentKey("", [&completions] { ++completions; });
        fake.urlSession.answer(result);
    }
    const std::string endpoint =
        "Arrival Endpoint: " + apiBase + "stamp/arrival?tim=20240401090000";
    EXPECT_THAT(logLines(), ElementsAre(endpoint, endpoint, endpoint, endpoint))
        << "the outcome is written on the main queue, not on delivery";
    fake.journal.clear();
    fake.mainQueue.drain();

    EXPECT_THAT(entries(),
                ElementsAre("log: " + arrivalNotDelivered +
                                "Optional(ConnectionRefusedError (code 61): Connection refused)",
                            "log: " + arrivalNotDelivered + "nil",
                            "log: " + arrivalNotDelivered + "nil",
                            "log: " + arrivalNotDelivered + "nil"));
    EXPECT_THAT(recordKeys(), ElementsAre(arrivalKey));
    EXPECT_EQ(completions, 0);
}

TEST_F(OutcomeTest, ArrivalAcceptsOnly200AndLeavingAlso201) {
    startRunning();
    setClock(1, 9, 0, 0);
    int completions = 0;
    const auto count = [&completions] { ++completions; };

    delegate.arriveWithUnSentKey("", count);
    fake.urlSession.answerStatus(201, "Created");
    delegate.leaveWithUnSentKey("", count);
    fake.urlSession.answerStatus(404, "{\"error\":\"unknown\"}");
    fake.mainQueue.drain();
    EXPECT_THAT(logLines(), ElementsAre(::testing::StartsWith("Arrival Endpoint: "),
                                        ::testing::StartsWith("Leaving Endpoint: "),
                                        "開始時の打刻に失敗しました:Created",
                                        "終了時の打刻に失敗しました:{\"error\":\"unknown\"}"));
    EXPECT_THAT(recordKeys(), ElementsAre(leavingKey, arrivalKey));
    EXPECT_EQ(completions, 0);

    delegate.leaveWithUnSentKey(leavingKey, count);
    fake.urlSession.answerStatus(201, "Created");
    delegate.arriveWithUnSentKey(arrivalKey, count);
    fake.urlSession.answerStatus(200, "");
    EXPECT_EQ(completions, 0) << "completions wait for the main queue";
    fake.mainQueue.drain();
    EXPECT_EQ(completions, 2);
    EXPECT_THAT(fake.defaults.values, IsEmpty());
}

TEST_F(OutcomeTest, AcceptedFreshArrivalActsInOrderThenScans) {
    startRunning();
    fake.defaults.setString("終了時の打刻_20240331183005", "20240331183005");
    setClock(1, 9, 0, 0);
    bool completed = false;
    delegate.arriveWithUnSentKey("", [&completed] { completed = true; });
    fake.journal.clear();

    fake.urlSession.answerStatus(200, "{\"ok\":true}");

    const std::string resend = apiBase + "stamp/leaving?tim=20240331183005";
    EXPECT_THAT(entries(),
                ElementsAre("console: 開始時の打刻", "console: removeUnsent: " + arrivalKey,
                            "log: 開始時の打刻に成功しました:{\"ok\":true}", "main queue: async",
                            "console: {\"ok\":true}",
                            "log: printUnsent： 終了時の打刻_20240331183005 / 20240331183005",
                            "console: call 終了時の打刻", "log: Leaving Endpoint: " + resend,
                            "request: POST " + resend));
    EXPECT_FALSE(completed);
    fake.mainQueue.drain();
    EXPECT_TRUE(completed);
}

TEST_F(OutcomeTest, AcceptedLeavingQueuesItsCompletionBeforeTheTerminationFollowUp) {
    fake.application.attach(delegate);
    startRunning();
    delegate.powerOff(); // locks termination
    setClock(1, 9, 0, 0);
    delegate.leaveWithUnSentKey("", [this] { fake.journal.record("completion"); });
    fake.journal.clear();

    fake.urlSession.answerStatus(201, "done", 1);
    EXPECT_THAT(entries(),
                ElementsAre("console: 終了時の打刻", "console: removeUnsent: " + leavingKey,
                            "log: 終了時の打刻に成功しました:done", "main queue: async",
                            "main queue: async", "console: done"));
    fake.journal.clear();
    fake.mainQueue.drain();
    EXPECT_THAT(entries(),
                ElementsAre("completion", "reply: YES", "terminate",
                            "console: applicationShouldTerminate.lockTerminate: true", "reply: YES",
                            "answer: Now", "console: applicationWillTerminate.lockTerminate: true",
                            "terminate", "ended"));
}

TEST_F(OutcomeTest, LockedRefusalIsLoggedOnTheMainQueueBeforeTermination) {
    startRunning();
    delegate.powerOff();
    fake.journal.clear();

    fake.urlSession.answerStatus(503, "maintenance");
    EXPECT_THAT(entries(), ElementsAre("main queue: async", "main queue: async"));
    fake.mainQueue.drain();
    EXPECT_THAT(entries(), ElementsAre("main queue: async", "main queue: async",
                                       "log: 終了時の打刻に失敗しました:maintenance", "reply: YES",
                                       "terminate"));
    EXPECT_EQ(recordKeys().size(), 1u);
}

TEST_F(OutcomeTest, EmptyAndMalformedBodiesAreStillWrittenWhole) {
    startRunning();
    setClock(1, 9, 0, 0);
    delegate.arriveWithUnSentKey("", [] {});
    fake.urlSession.answerStatus(200, "");
    EXPECT_THAT(consoleLines(), ElementsAre("call 開始時の打刻", "setUnset: " + arrivalKey,
                                            "開始時の打刻", "removeUnsent: " + arrivalKey, ""));
    EXPECT_EQ(logLines().back(), "開始時の打刻に成功しました:");

    // Bytes that are not UTF-8 come out as replacement characters, after the record is gone.
    setClock(1, 9, 1, 0);
    fake.journal.clear();
    delegate.leaveWithUnSentKey("", [] {});
    fake.urlSession.answerStatus(200, "\xFF\xFEok\xE3\x81");
    EXPECT_THAT(fake.defaults.values, IsEmpty());
    EXPECT_EQ(logLines().back(), "終了時の打刻に成功しました:\uFFFD\uFFFDok\uFFFD\uFFFD");
    EXPECT_EQ(consoleLines().back(), "\uFFFD\uFFFDok\uFFFD\uFFFD");

    delegate.arriveWithUnSentKey("", [] {});
    fake.urlSession.answerStatus(400, "bad\xC0");
    fake.mainQueue.drain();
    EXPECT_EQ(logLines().back(), "開始時の打刻に失敗しました:bad\uFFFD");
}

TEST_F(OutcomeTest, CompletionRunsOnceAndOnlyOnAcceptance) {
    startRunning();
    int completions = 0;
    delegate.arriveWithUnSentKey("", [&completions] { ++completions; });
    fake.urlSession.answerStatus(200, "ok");
    fake.mainQueue.drain();
    fake.mainQueue.drain();
    EXPECT_EQ(completions, 1);

    AppDelegate retrying(fake.platform(), AppDelegate::Options{serviceOrigin, 1});
    retrying.applicationDidFinishLaunching();
    fake.urlSession.answerStatus(200, "ok"); // its own start-up stamp
    retrying.leaveWithUnSentKey("", [&completions] { ++completions; });
    fake.urlSession.failTransfer();
    fake.urlSession.answerStatus(200, "ok"); // the retry is accepted
    fake.mainQueue.drain();
    EXPECT_EQ(completions, 2);
    EXPECT_EQ(fake.urlSession.pending(), 0u);
}

} // namespace
} // namespace talverin::testing
