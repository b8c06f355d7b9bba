#include "records/DateFormat.h"
#include "FakePlatform.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace talverin {
namespace {

using testing::localTime;
using testing::ScopedTimeZone;

class DateFormatTest : public ::testing::Test {
protected:
    ScopedTimeZone zone{"Asia/Tokyo"};
};

TEST_F(DateFormatTest, WritesEveryPatternTheAgentUses) {
    const Instant evening = localTime(2024, 4, 1, 20, 30, 5);
    EXPECT_EQ(formatDate("yyyyMMddHHmmss", evening), "20240401203005");
    EXPECT_EQ(formatDate("yyyy/MM/dd HH:mm:ss", evening), "2024/04/01 20:30:05");
    EXPECT_EQ(formatDate("yyyy-MM-dd", evening), "2024-04-01");
    EXPECT_EQ(formatDate("yyyyMMddhhmmss a", evening), "20240401083005 PM");
    EXPECT_EQ(formatDate("yyyyMMddhmmss a", evening), "2024040183005 PM");
}

TEST_F(DateFormatTest, MidnightIsHourZeroAndTwelveOnTheTwelveHourClock) {
    const Instant midnight = localTime(2024, 4, 2, 0, 0, 0);
    EXPECT_EQ(formatDate("yyyyMMddHHmmss", midnight), "20240402000000");
    EXPECT_EQ(formatDate("yyyyMMddhhmmss a", midnight), "20240402120000 AM");
}

TEST_F(DateFormatTest, FollowsTheInjectedZone) {
    const Instant instant = localTime(2024, 4, 1, 20, 30, 5);
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(formatDate("yyyyMMddHHmmss", instant), "20240401113005");
}

TEST_F(DateFormatTest, ReadsTwelveHourFormsIntoTheTwentyFourHourClock) {
    const Instant evening = localTime(2024, 4, 1, 20, 30, 5);
    EXPECT_EQ(parseDate("yyyyMMddhmmss a", "2024040183005 PM"), evening);
    EXPECT_EQ(parseDate("yyyyMMddhhmmss a", "20240401083005 PM"), evening);
    EXPECT_EQ(parseDate("yyyyMMddhhmmss a", "20240401120000 AM"), localTime(2024, 4, 1, 0, 0, 0));
    EXPECT_EQ(parseDate("yyyyMMddhhmmss a", "20240401120000 PM"), localTime(2024, 4, 1, 12, 0, 0));
    EXPECT_EQ(parseDate("yyyyMMddhhmmss a", "20240401110000 AM"), localTime(2024, 4, 1, 11, 0, 0));
}

TEST_F(DateFormatTest, DigitCountsMustMatchExactly) {
    // 13 digits belong to the one-letter hour, 14 to the two-letter one.
    EXPECT_FALSE(parseDate("yyyyMMddhmmss a", "20240401083005 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "2024040183005 PM"));
    // A digit where the space must stand.
    EXPECT_FALSE(parseDate("yyyyMMddhmmss a", "20240401103005 PM"));
    EXPECT_TRUE(parseDate("yyyyMMddhhmmss a", "20240401103005 PM"));
}

TEST_F(DateFormatTest, RejectsWhatDoesNotMatchTheWholePattern) {
    for (const char* text : {"", "20240401083005", "20240401083005 PM ", " 20240401083005 PM",
                             "20240401083005 pm", "20240401083005 XM", "20240401083005PM",
                             "2024040103005 PM", "2024O401083005 PM", "２０２４0401083005 PM"}) {
        EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", text)) << text;
        EXPECT_FALSE(parseDate("yyyyMMddhmmss a", text)) << text;
    }
}

TEST_F(DateFormatTest, RejectsFieldsOutOfRange) {
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20240431083005 PM")) << "31 April";
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20230229083005 PM")) << "29 February 2023";
    EXPECT_TRUE(parseDate("yyyyMMddhhmmss a", "20240229083005 PM")) << "29 February 2024";
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "21000229083005 PM")) << "1900-style century";
    EXPECT_TRUE(parseDate("yyyyMMddhhmmss a", "20000229083005 PM")) << "400-year leap";
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20241301083005 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20240001083005 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20240400083005 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20240401133005 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20240401006005 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddhhmmss a", "20240401083060 PM"));
    EXPECT_FALSE(parseDate("yyyyMMddHHmmss", "20240401240000"));
    EXPECT_EQ(parseDate("yyyyMMddHHmmss", "20240401235959"), localTime(2024, 4, 1, 23, 59, 59));
}

TEST_F(DateFormatTest, RoundTripsAcrossAYearFromAnyThread) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(2, 0);
    for (int worker = 0; worker < 2; ++worker) {
        threads.emplace_back([worker, &mismatches] {
            Instant instant = localTime(2024, 1, 1, 0, 0, 7);
            for (int step = 0; step < 5000; ++step) {
                instant += std::chrono::seconds(6337 + worker);
                const auto text = formatDate("yyyyMMddhhmmss a", instant);
                if (parseDate("yyyyMMddhhmmss a", text) != instant) {
                    ++mismatches[static_cast<std::size_t>(worker)];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, (std::vector<int>{0, 0}));
}

} // namespace
} // namespace talverin
