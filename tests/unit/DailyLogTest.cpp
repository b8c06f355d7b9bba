#include "log/DailyLog.h"

#include "FakePlatform.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <thread>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;

// Gives each reading of the clock the next instant of its list, then stays on the last.
class SteppingClock : public Clock {
public:
    std::vector<Instant> instants;
    Instant now() const override {
        const std::size_t index = std::min(readings_++, instants.size() - 1);
        return instants[index];
    }

private:
    mutable std::size_t readings_ = 0;
};

class DailyLogTest : public ::testing::Test {
protected:
    ScopedTimeZone zone{"Asia/Tokyo"};
    TemporaryFolder home;
    FakeClock clock;
    DailyLog log{clock, [this] { return home.path().string(); }};

    std::filesystem::path fileOf(const std::string& day) const {
        return home.path() / "Library" / "Logs" / ("talverin-timestamp-" + day + ".log");
    }
    std::string contentsOf(const std::string& day) const {
        std::ifstream in(fileOf(day), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    std::vector<std::string> filesInLogFolder() const {
        std::vector<std::string> names;
        for (const auto& item :
             std::filesystem::directory_iterator(home.path() / "Library" / "Logs")) {
            names.push_back(item.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(DailyLogTest, CreatesTheFolderAndAppendsMessagesUnchanged) {
    clock.current = localTime(2024, 3, 5, 18, 7, 41);

    log.write("終了時の打刻: 終了時の打刻_20240305180741");
    log.write("");
    log.write("first\nsecond");

    EXPECT_EQ(contentsOf("2024-03-05"),
              "2024/03/05 18:07:41 - 終了時の打刻: 終了時の打刻_20240305180741\n"
              "2024/03/05 18:07:41 - \n"
              "2024/03/05 18:07:41 - first\nsecond\n");
    EXPECT_THAT(filesInLogFolder(), ElementsAre("talverin-timestamp-2024-03-05.log"));
}

TEST_F(DailyLogTest, OneReadingOfTheClockNamesTheFileAndStampsTheLine) {
    SteppingClock stepping;
    stepping.instants = {localTime(2024, 3, 5, 23, 59, 59), localTime(2024, 3, 6, 0, 0, 0)};
    DailyLog acrossMidnight(stepping, [this] { return home.path().string(); });

    acrossMidnight.write("last of the day");
    acrossMidnight.write("first of the next");

    EXPECT_EQ(contentsOf("2024-03-05"), "2024/03/05 23:59:59 - last of the day\n");
    EXPECT_EQ(contentsOf("2024-03-06"), "2024/03/06 00:00:00 - first of the next\n");
}

TEST_F(DailyLogTest, FileThatCannotBeOpenedIsSkippedAndTheNextDayWorks) {
    std::filesystem::create_directories(fileOf("2024-03-05")); // a folder where the file belongs
    clock.current = localTime(2024, 3, 5, 9, 0, 0);

    log.write("lost");
    EXPECT_TRUE(std::filesystem::is_empty(fileOf("2024-03-05")));

    clock.current = localTime(2024, 3, 6, 9, 0, 0);
    log.write("kept");
    EXPECT_EQ(contentsOf("2024-03-06"), "2024/03/06 09:00:00 - kept\n");
}

TEST_F(DailyLogTest, MessageThatIsNotUtf8IsNotWrittenAtAll) {
    clock.current = localTime(2024, 3, 5, 9, 0, 0);

    log.write("broken \xE3\x81 text");
    EXPECT_FALSE(std::filesystem::exists(fileOf("2024-03-05")));

    log.write("whole");
    EXPECT_EQ(contentsOf("2024-03-05"), "2024/03/05 09:00:00 - whole\n");
}

TEST_F(DailyLogTest, ConcurrentWritersNeverTearOrInterleaveLines) {
    clock.current = localTime(2024, 3, 5, 9, 0, 0);
    constexpr int linesPerWriter = 10000;
    // Long enough that a line split into several writes would show.
    const std::string padding(300, 'x');
    const auto message = [&padding](int writer, int sequence) {
        return "writer " + std::to_string(writer) + " 開始時の打刻 " + std::to_string(sequence) +
               " " + padding;
    };

    std::array<std::thread, 2> writers;
    for (int writer = 0; writer < 2; ++writer) {
        writers[static_cast<std::size_t>(writer)] = std::thread([&, writer] {
            for (int sequence = 0; sequence < linesPerWriter; ++sequence) {
                log.write(message(writer, sequence));
            }
        });
    }
    for (auto& thread : writers) {
        thread.join();
    }

    std::istringstream contents(contentsOf("2024-03-05"));
    std::array<int, 2> next{0, 0};
    int lines = 0;
    int malformed = 0;
    for (std::string line; std::getline(contents, line); ++lines) {
        const std::string prefix = "2024/03/05 09:00:00 - writer ";
        const int writer = line.size() > prefix.size() ? line[prefix.size()] - '0' : -1;
        if (!line.starts_with(prefix) || (writer != 0 && writer != 1) ||
            line != "2024/03/05 09:00:00 - " +
                        message(writer, next[static_cast<std::size_t>(writer)])) {
            ++malformed;
            continue;
        }
        ++next[static_cast<std::size_t>(writer)];
    }
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(lines, 2 * linesPerWriter);
    EXPECT_THAT(next, ElementsAre(linesPerWriter, linesPerWriter))
        << "each writer's lines in order";
}

} // namespace
} // namespace talverin::testing
