#include "FaultTestBed.h"
#include "SeededStore.h"

#include <QTest>

#include <gmock/gmock.h>

#include <csignal>
#include <cstdio>
#include <fstream>

namespace talverin::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAreArray;

class InputFaultTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bed.problem(), ""); }

    void writeSerial(const std::string& bytes) {
        std::ofstream(bed.serialFile, std::ios::binary | std::ios::trunc) << bytes;
    }

    // The tim of every request to a path, in the order received.
    std::vector<std::string> timsAt(const std::string& path) const {
        std::vector<std::string> tims;
        for (const auto& request : bed.requestsTo(path)) {
            tims.push_back(request.query.substr(std::string("tim=").size()));
        }
        return tims;
    }

    FaultTestBed bed;
};

TEST_F(InputFaultTest, ASerialThatCouldEndTheHeaderIsNeverSentAndEveryRecordWaitsForAGoodOne) {
    writeSerial("C02\r\nX-Injected: yes\n");
    auto agent = bed.startAgent();
    ASSERT_TRUE(bed.waitForLogLineStartingWith(
        "シリアル番号に使用できない文字が含まれているため、開始時の打刻を送信しませんでした:"
        "開始時の打刻_"));
    waitForTheNextSecond();
    ASSERT_TRUE(bed.lockScreen());
    ASSERT_TRUE(bed.waitForLogLineStartingWith(
        "シリアル番号に使用できない文字が含まれているため、終了時の打刻を送信しませんでした:"
        "終了時の打刻_"));
    // The quit is not held for a stamp that cannot be sent: the agent ends, keeping the record.
    waitForTheNextSecond();
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit(20000)) << bed.recentActivity(*agent);
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_THAT(bed.requests(), IsEmpty());
    const auto kept = bed.records();
    ASSERT_THAT(kept, SizeIs(3));

    // A sound serial: every stamp kept meanwhile arrives with its own time.
    writeSerial("C02TESTSERIAL\n");
    waitForTheNextSecond();
    auto next = bed.startAcceptedAgent();
    EXPECT_TRUE(bed.waitForRecordCount(0));
    std::set<std::string> keys;
    for (const auto& [key, value] : kept) {
        keys.insert(key);
    }
    EXPECT_THAT(bed.stampsNeverAccepted(keys), IsEmpty());
    for (const auto& request : bed.requests()) {
        EXPECT_THAT(request.headerValues("X-Injected"), IsEmpty());
        EXPECT_THAT(request.headerValues("X-OSX-NUMBER"), ElementsAre("C02TESTSERIAL"));
    }
}

// Inner spaces and any bytes but control characters go out as they are. (HTTP itself drops
// whitespace at either end of a header value, and the serial source the whitespace at its end.)
TEST_F(InputFaultTest, SerialsWithSpacesOrTextBeyondAsciiAreSentByteForByte) {
    for (const std::string& serial : {std::string("C02 TEST  SERIAL"), std::string("C02テスト番号"),
                                      std::string("C02\xff\xfe\x80 latin")}) {
        SCOPED_TRACE(serial);
        writeSerial(serial + "\n");
        ASSERT_TRUE(bed.service->clearRequests());
        ASSERT_TRUE(bed.waitUntilNoAgentIsRunning());
        auto agent = bed.startAcceptedAgent();
        const auto arrivals = bed.requestsTo(arrivalPath);
        ASSERT_THAT(arrivals, SizeIs(1));
        EXPECT_THAT(arrivals[0].headerValues("X-OSX-NUMBER"), ElementsAre(serial));
        agent->sendSignal(SIGTERM);
        ASSERT_TRUE(agent->waitForExit());
        EXPECT_THAT(bed.requestsTo(leavingPath), SizeIs(1));
        EXPECT_THAT(bed.records(), IsEmpty());
    }
}

TEST_F(InputFaultTest, StoredValuesGoOutAsTheyReadAndThoseNoUrlCanCarryStay) {
    SeededStore store(bed.storeFile());
    ASSERT_TRUE(store.addText({
        {"開始時の打刻_20240401083005", "20240401083005"},
        // 12-hour values of older versions: one- and two-digit hours, both day periods.
        {"終了時の打刻_a", "2024040183005 PM"},
        {"開始時の打刻_b", "20240401103005 PM"},
        {"終了時の打刻_c", "20240401120000 AM"},
        // Junk a URL can carry goes out as it is, the empty value as an empty time.
        {"開始時の打刻_d", "garbage"},
        {"終了時の打刻_e", ""},
        // What no URL may carry unescaped stays, with a log line each time.
        {"開始時の打刻_f", "2024 0401 083005"},
        {"終了時の打刻_g", "2024%zz"},
        {"開始時の打刻_h", "２０２４０４０１"},
        // One key with both labels is sent as both kinds.
        {"開始時の打刻終了時の打刻_20240402090000", "20240402090000"},
        // Not a record at all.
        {"window-position", "10,20"},
    }));
    ASSERT_TRUE(store.execute(
        "INSERT INTO defaults VALUES('終了時の打刻_20240403180000', 20240403180000)"));

    auto agent = bed.startAcceptedAgent();
    const std::vector<std::string> kept{"開始時の打刻_f", "終了時の打刻_g", "開始時の打刻_h",
                                        "window-position"};
    ASSERT_TRUE(bed.waitForRecordCount(kept.size())) << bed.recentActivity(*agent);
    std::vector<std::string> left;
    for (const auto& [key, value] : bed.records()) {
        left.push_back(key);
    }
    EXPECT_THAT(left, UnorderedElementsAreArray(kept));

    std::vector<std::string> arrivals = timsAt(arrivalPath);
    arrivals.erase(arrivals.begin()); // the fresh arrival of this start
    EXPECT_THAT(arrivals, UnorderedElementsAreArray(
                              {std::string("20240401083005"), std::string("20240401223005"),
                               std::string("garbage"), std::string("20240402090000")}));
    EXPECT_THAT(timsAt(leavingPath),
                UnorderedElementsAreArray(
                    {std::string("20240401203005"), std::string("20240401000000"), std::string(""),
                     std::string("20240402090000"), std::string("20240403180000")}));
    const auto log = bed.logMessages();
    for (const char* time : {"2024 0401 083005", "２０２４０４０１"}) {
        EXPECT_THAT(log, Contains("サーバーに送信する打刻情報が取得できなかったため、"
                                  "開始時の打刻を実行できませんでした:" +
                                  std::string(time)));
    }
    EXPECT_THAT(log, Contains("サーバーに送信する打刻情報が取得できなかったため、"
                              "終了時の打刻を実行できませんでした:2024%zz"));
    EXPECT_THAT(log, Contains("printUnsent： 開始時の打刻終了時の打刻_20240402090000 / "
                              "20240402090000"));
}

TEST_F(InputFaultTest, TenThousandStoredRecordsAllArriveWithTheirOwnTimes) {
    constexpr int perKind = 5000;
    std::vector<std::pair<std::string, std::string>> records;
    std::set<std::string> keys;
    for (int index = 0; index < perKind; ++index) {
        // One stamp a minute from 1 March 2024 on: arrivals on the minute, leavings at :30.
        char time[15];
        std::snprintf(time, sizeof time, "202403%02d%02d%02d", 1 + index / 1440, index / 60 % 24,
                      index % 60);
        for (const auto& [label, seconds] : {std::pair{arrivalLabel, std::string("00")},
                                             std::pair{leavingLabel, std::string("30")}}) {
            const std::string stamp = time + seconds;
            records.emplace_back(label + "_" + stamp, stamp);
            keys.insert(label + "_" + stamp);
        }
    }
    ASSERT_TRUE(SeededStore(bed.storeFile()).addText(records));

    auto agent = bed.startAcceptedAgent();
    EXPECT_TRUE(bed.waitForRecordCount(0, 240000)) << bed.records().size() << " records left";
    EXPECT_THAT(bed.stampsNeverAccepted(keys), IsEmpty());
    EXPECT_EQ(bed.requests().size(), 1u + 2u * perKind);
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_THAT(bed.records(), IsEmpty());
}

} // namespace
} // namespace talverin::testing
