#include "DelegateFixture.h"

#include <gmock/gmock.h>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// Each test starts running, stores what it needs, then sends a fresh arrival at 09:00 whose
// acceptance starts the scan.
class ResendTest : public DelegateFixture {
protected:
    void acceptFreshArrival() {
        setClock(1, 9, 0, 0);
        delegate.arriveWithUnSentKey("", [] {});
        fake.urlSession.started.clear();
        fake.journal.clear();
        fake.urlSession.answerStatus(200, "ok", fake.urlSession.pending() - 1);
    }
    // What the scan did: its own lines and the sends it started, in order.
    std::vector<std::string> scanEntries() {
        std::vector<std::string> selected;
        for (const auto& entry : entries()) {
            if (entry.starts_with("log: printUnsent") || entry.starts_with("console: call ") ||
                entry.starts_with("request: ")) {
                selected.push_back(entry);
            }
        }
        return selected;
    }
};

const std::string arrivalUrl = apiBase + "stamp/arrival?tim=";
const std::string leavingUrl = apiBase + "stamp/leaving?tim=";

TEST_F(ResendTest, WithoutRecordsTheScanIsSilent) {
    startRunning();
    fake.defaults.setString("NSLanguages", "ja"); // another program's entry
    acceptFreshArrival();
    EXPECT_THAT(scanEntries(), IsEmpty());
    EXPECT_EQ(fake.urlSession.pending(), 0u);
}

TEST_F(ResendTest, EachRecordIsLoggedAndSentByItsKind) {
    startRunning();
    fake.defaults.setString("終了時の打刻_20240401183005", "20240401183005");
    acceptFreshArrival();
    EXPECT_THAT(
        entries(),
        ElementsAre("console: 開始時の打刻", "console: removeUnsent: 開始時の打刻_20240401090000",
                    "log: 開始時の打刻に成功しました:ok", "main queue: async", "console: ok",
                    "log: printUnsent： 終了時の打刻_20240401183005 / 20240401183005",
                    "console: call 終了時の打刻",
                    "log: Leaving Endpoint: " + leavingUrl + "20240401183005",
                    "request: POST " + leavingUrl + "20240401183005"));
}

TEST_F(ResendTest, KeysAreMatchedByLabelAloneAndNonTextValuesAreSentUnlogged) {
    startRunning();
    fake.defaults.setString("開始時の打刻終了時の打刻", "20240330070000");
    fake.defaults.setNonText("開始時の打刻_20240330080000");
    fake.defaults.setString("LastLaunch", "20240330070000");
    acceptFreshArrival();

    // The in-memory store lists its keys in byte order.
    EXPECT_THAT(scanEntries(),
                ElementsAre("console: call 開始時の打刻", "request: POST " + arrivalUrl,
                            "log: printUnsent： 開始時の打刻終了時の打刻 / 20240330070000",
                            "console: call 開始時の打刻",
                            "request: POST " + arrivalUrl + "20240330070000",
                            "console: call 終了時の打刻",
                            "request: POST " + leavingUrl + "20240330070000"));
    EXPECT_THAT(logLines(), ::testing::Contains("未送信の打刻を取得できませんでした:"
                                                "開始時の打刻_20240330080000"));
}

TEST_F(ResendTest, OnlyAnAcceptedFreshArrivalScansAndNeverItsOwnRecord) {
    startRunning();
    fake.defaults.setString("終了時の打刻_20240331183005", "20240331183005");
    fake.defaults.setString("開始時の打刻_20240331083005", "20240331083005");

    // A fresh leaving stamp accepted: no scan.
    setClock(1, 8, 45, 0);
    delegate.leaveWithUnSentKey("", [] {});
    fake.urlSession.answerStatus(200, "ok");
    EXPECT_EQ(fake.urlSession.pending(), 0u);

    acceptFreshArrival();
    EXPECT_THAT(requestUrls(),
                UnorderedElementsAre(leavingUrl + "20240331183005", arrivalUrl + "20240331083005"));

    // The resends accepted: no further scan, although a refused one is still stored.
    fake.urlSession.answerStatus(500, "busy");
    fake.urlSession.answerStatus(200, "ok");
    EXPECT_EQ(fake.urlSession.pending(), 0u);
    EXPECT_EQ(fake.urlSession.started.size(), 2u);
    EXPECT_EQ(recordKeys().size(), 1u);
}

TEST_F(ResendTest, RecordStillInFlightIsSentAgainAndTheLaterRemovalIsHarmless) {
    startRunning();
    setClock(1, 8, 45, 0);
    fake.systemEvents.screenLocked();

    acceptFreshArrival();
    ASSERT_EQ(fake.urlSession.pending(), 2u);
    EXPECT_EQ(fake.urlSession.request(0).url, fake.urlSession.request(1).url);

    fake.urlSession.answerStatus(200, "first");
    fake.urlSession.answerStatus(200, "second");
    EXPECT_THAT(fake.journal.entriesStartingWith("console: removeUnsent: "),
                ElementsAre("開始時の打刻_20240401090000", "終了時の打刻_20240401084500",
                            "終了時の打刻_20240401084500"));
    EXPECT_THAT(fake.defaults.values, IsEmpty());
}

TEST_F(ResendTest, UnconfirmedRecordIsSentAfterEveryFreshArrival) {
    startRunning();
    fake.defaults.setString("終了時の打刻_20240331183005", "20240331183005");
    acceptFreshArrival();
    fake.urlSession.failTransfer();
    setClock(1, 10, 0, 0);
    delegate.arriveWithUnSentKey("", [] {});
    fake.urlSession.answerStatus(200, "ok");
    fake.mainQueue.drain();

    EXPECT_EQ(fake.journal.entriesStartingWith("log: printUnsent").size(), 2u);
    EXPECT_EQ(fake.urlSession.pending(), 1u);
    EXPECT_EQ(fake.urlSession.request(0).url, leavingUrl + "20240331183005");
}

} // namespace
} // namespace talverin::testing
