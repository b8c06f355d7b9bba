#include "DelegateFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using StampRequestTest = DelegateFixture;

const std::string arrivalUrl = apiBase + "stamp/arrival?tim=";
const std::string leavingUrl = apiBase + "stamp/leaving?tim=";

TEST_F(StampRequestTest, FreshStampIsRecordedThenPostedWithItsTime) {
    startRunning();
    setClock(1, 18, 7, 41);

    delegate.leaveWithUnSentKey("", [] {});

    EXPECT_THAT(recordKeys(), ElementsAre("終了時の打刻_20240401180741"));
    EXPECT_EQ(fake.defaults.values["終了時の打刻_20240401180741"], "20240401180741");
    ASSERT_EQ(fake.urlSession.started.size(), 1u);
    const HttpRequest& request = fake.urlSession.started[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, leavingUrl + "20240401180741");
    EXPECT_EQ(request.timeoutSeconds, 60.0);
    EXPECT_EQ(request.cachePolicy, CachePolicy::UseProtocolCachePolicy);
    EXPECT_EQ(request.headers,
              (std::vector<std::pair<std::string, std::string>>{{"X-OSX-NUMBER", "C02TEST123"}}));
    EXPECT_THAT(entries(), ElementsAre("console: call 終了時の打刻",
                                       "console: setUnset: 終了時の打刻_20240401180741",
                                       "log: Leaving Endpoint: " + leavingUrl + "20240401180741",
                                       "request: POST " + leavingUrl + "20240401180741"));
}

TEST_F(StampRequestTest, ResendCarriesTheStoredTimeAndMakesNoRecord) {
    startRunning();
    fake.defaults.setString("開始時の打刻_20240330070000", "20240330070000");
    fake.defaults.setString("開始時の打刻_a", "2024040183005 PM");
    fake.defaults.setString("開始時の打刻_b", "20240401103005 PM");
    fake.defaults.setString("開始時の打刻_c", "20240401120000 AM");

    for (const char* key :
         {"開始時の打刻_20240330070000", "開始時の打刻_a", "開始時の打刻_b", "開始時の打刻_c"}) {
        delegate.arriveWithUnSentKey(key, [] {});
    }

    EXPECT_THAT(requestUrls(),
                ElementsAre(arrivalUrl + "20240330070000", arrivalUrl + "20240401203005",
                            arrivalUrl + "20240401223005", arrivalUrl + "20240401000000"));
    EXPECT_EQ(fake.defaults.values.size(), 4u);
    EXPECT_EQ(fake.defaults.values["開始時の打刻_a"], "2024040183005 PM") << "never written back";
    EXPECT_THAT(fake.journal.entriesStartingWith("console: setUnset"), IsEmpty());
}

TEST_F(StampRequestTest, MissingRecordIsReportedFirstAndSentWithAnEmptyTime) {
    startRunning();

    delegate.arriveWithUnSentKey("開始時の打刻_20240101000000", [] {});

    EXPECT_THAT(entries(),
                ElementsAre("console: call 開始時の打刻",
                            "log: 未送信の打刻を取得できませんでした:開始時の打刻_20240101000000",
                            "log: Arrival Endpoint: " + arrivalUrl, "request: POST " + arrivalUrl));
    EXPECT_THAT(fake.defaults.values, IsEmpty());
}

TEST_F(StampRequestTest, TimeThatNoUrlMayCarryIsLoggedAndNothingIsSent) {
    startRunning();
    const std::vector<std::string> oddTimes = {"2024 0401", "２０２４0401", "2024%zz", "2024%4"};
    for (const auto& time : oddTimes) {
        fake.defaults.setString("終了時の打刻_" + time, time);
    }
    bool completed = false;

    for (const auto& time : oddTimes) {
        delegate.leaveWithUnSentKey("終了時の打刻_" + time, [&completed] { completed = true; });
    }
    fake.mainQueue.drain();

    std::vector<std::string> expected;
    for (const auto& time : oddTimes) {
        expected.push_back("console: call 終了時の打刻");
        expected.push_back("log: サーバーに送信する打刻情報が取得できなかったため、"
                           "終了時の打刻を実行できませんでした:" +
                           time);
    }
    EXPECT_EQ(entries(), expected);
    EXPECT_EQ(fake.defaults.values.size(), oddTimes.size());
    EXPECT_FALSE(completed);

    fake.defaults.setString("開始時の打刻_x", "x y");
    delegate.arriveWithUnSentKey("開始時の打刻_x", [] {});
    EXPECT_EQ(logLines().back(), "サーバーに送信する打刻情報が取得できなかったため、"
                                 "開始時の打刻を実行できませんでした:x y");
    EXPECT_EQ(fake.urlSession.started.size(), 0u);
}

TEST_F(StampRequestTest, WithoutRetriesTheFirstErrorGoesStraightToTheHandler) {
    startRunning();

    delegate.arriveWithUnSentKey("", [] {});
    fake.urlSession.failTransfer();
    fake.mainQueue.drain();

    EXPECT_THAT(fake.sleeper.waits, IsEmpty());
    EXPECT_EQ(fake.urlSession.started.size(), 1u);
    EXPECT_EQ(logLines().back(),
              "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:"
              "Optional(ConnectionRefusedError (code 1): Connection refused)");
}

TEST_F(StampRequestTest, TwoRetriesRepeatTheSameRequestAndHandOnTheLastError) {
    AppDelegate agent(fake.platform(), AppDelegate::Options{serviceOrigin, 2});
    agent.applicationDidFinishLaunching();
    fake.journal.clear();

    fake.urlSession.failTransfer("first");
    fake.urlSession.failTransfer("second");
    const std::string url = arrivalUrl + "20240401083005";
    EXPECT_THAT(entries(), ElementsAre("log: 開始時の打刻のサーバーへの送信失敗.送信回数:2/2",
                                       "log: first", "sleep: 3000000", "request: POST " + url,
                                       "log: 開始時の打刻のサーバーへの送信失敗.送信回数:1/2",
                                       "log: second", "sleep: 3000000", "request: POST " + url));
    ASSERT_EQ(fake.urlSession.started.size(), 3u);
    EXPECT_EQ(fake.urlSession.started[2].url, fake.urlSession.started[0].url);
    EXPECT_EQ(fake.urlSession.started[2].headers, fake.urlSession.started[0].headers);

    fake.urlSession.failTransfer("third");
    EXPECT_EQ(fake.urlSession.pending(), 0u);
    fake.mainQueue.drain();
    EXPECT_EQ(logLines().back(),
              "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:"
              "Optional(ConnectionRefusedError (code 1): third)");
    EXPECT_EQ(fake.defaults.values.size(), 1u);
}

TEST_F(StampRequestTest, FourRetriesWaitLongerEachTime) {
    AppDelegate agent(fake.platform(), AppDelegate::Options{serviceOrigin, 4});
    agent.applicationDidFinishLaunching();

    for (int attempt = 0; attempt < 5; ++attempt) {
        fake.urlSession.failTransfer();
    }
    fake.mainQueue.drain();

    EXPECT_THAT(fake.sleeper.waits, ElementsAre(3000000u, 3000000u, 4000000u, 8000000u));
    std::vector<std::string> counts;
    for (const auto& line : logLines()) {
        if (line.find("送信回数:") != std::string::npos) {
            counts.push_back(line.substr(line.find("送信回数:")));
        }
    }
    EXPECT_THAT(counts,
                ElementsAre("送信回数:4/4", "送信回数:3/4", "送信回数:2/4", "送信回数:1/4"));
    EXPECT_EQ(fake.urlSession.started.size(), 5u);
}

TEST_F(StampRequestTest, ServerErrorIsAnAnswerAndNeverRepeated) {
    AppDelegate agent(fake.platform(), AppDelegate::Options{serviceOrigin, 2});
    agent.applicationDidFinishLaunching();

    fake.urlSession.answerStatus(500, "busy");
    fake.mainQueue.drain();

    EXPECT_THAT(fake.sleeper.waits, IsEmpty());
    EXPECT_EQ(fake.urlSession.started.size(), 1u);
    EXPECT_EQ(logLines().back(), "開始時の打刻に失敗しました:busy");
}

TEST_F(StampRequestTest, HugeRetryCountHoldsTheWaitAtTheTopInsteadOfWrapping) {
    constexpr std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    AppDelegate agent(fake.platform(), AppDelegate::Options{serviceOrigin, huge});
    agent.applicationDidFinishLaunching();

    for (int attempt = 0; attempt < 40; ++attempt) {
        fake.urlSession.failTransfer();
    }

    constexpr std::uint64_t top = std::numeric_limits<std::uint32_t>::max();
    std::uint64_t expected = 3000000;
    ASSERT_EQ(fake.sleeper.waits.size(), 40u);
    for (std::size_t index = 0; index < fake.sleeper.waits.size(); ++index) {
        EXPECT_EQ(fake.sleeper.waits[index], expected) << "retry " << index;
        expected = std::min(top, expected + index * index * 1000000u);
    }
    EXPECT_EQ(fake.sleeper.waits.back(), top);
    const auto lines = logLines();
    EXPECT_EQ(*std::find_if(lines.begin(), lines.end(),
                            [](const auto& line) { return line.find("送信回数") != line.npos; }),
              "開始時の打刻のサーバーへの送信失敗.送信回数:" + std::to_string(huge) + "/" +
                  std::to_string(huge));
}

TEST_F(StampRequestTest, SerialThatIsUnsetOrUnsafeInAHeaderKeepsTheRecordAndSendsNothing) {
    // Never launched: no serial has been read.
    delegate.leaveWithUnSentKey("", [] {});
    EXPECT_EQ(
        logLines().back(),
        "シリアル番号が未取得のため、終了時の打刻を送信しませんでした:終了時の打刻_20240401083005");

    for (const char* serial : {"C02\r\nX-Other: 1", "C02\nX", "C02\rX", "C02\x01X", "C02\x7FX"}) {
        FakePlatform other;
        other.serialNumber.serial = serial;
        AppDelegate agent(other.platform(), AppDelegate::Options{serviceOrigin, 0});
        agent.applicationDidFinishLaunching();
        EXPECT_EQ(
            other.journal.entriesStartingWith("log: ").back(),
            "シリアル番号に使用できない文字が含まれているため、開始時の打刻を送信しませんでした:"
            "開始時の打刻_20240401083005");
        EXPECT_EQ(other.defaults.values.size(), 1u);
        EXPECT_THAT(other.urlSession.started, IsEmpty());
    }
    EXPECT_EQ(fake.defaults.values.size(), 1u);
    EXPECT_THAT(fake.urlSession.started, IsEmpty());
}

} // namespace
} // namespace talverin::testing
