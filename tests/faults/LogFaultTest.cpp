#include "FakePlatform.h"
#include "FaultTestBed.h"
#include "records/DateFormat.h"

#include <QTest>

#include <gmock/gmock.h>

#include <chrono>
#include <csignal>
#include <fstream>

namespace talverin::testing {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

enum class LogFault { logsFolderIsAFile, readOnlyFolder, folderForTheDaysFile, fullDisk };

std::string nameOf(LogFault fault) {
    switch (fault) {
    case LogFault::logsFolderIsAFile:
        return "LogsFolderIsAFile";
    case LogFault::readOnlyFolder:
        return "ReadOnlyFolder";
    case LogFault::folderForTheDaysFile:
        return "FolderWhereTheDaysFileShouldBe";
    case LogFault::fullDisk:
        return "FullDisk";
    }
    return {};
}

// The day's file names around now in the agent's zone: a test running across midnight still
// finds a folder in the way.
std::vector<std::string> dayFileNamesAroundNow() {
    const ScopedTimeZone zone("Asia/Tokyo");
    std::vector<std::string> names;
    for (const int days : {-1, 0, 1}) {
        const auto instant = std::chrono::system_clock::now() + std::chrono::hours(24 * days);
        names.push_back("talverin-timestamp-" + formatDate("yyyy-MM-dd", instant) + ".log");
    }
    return names;
}

class LogFaultTest : public ::testing::TestWithParam<LogFault> {
protected:
    void SetUp() override { ASSERT_EQ(bed.problem(), ""); }

    FaultTestBed bed;
};

TEST_P(LogFaultTest, StampingGoesOnWhenNoLogLineCanBeWritten) {
    const std::filesystem::path logs = bed.logFolder();
    const std::string earlier = "2024/04/01 08:30:05 - an earlier day's line\n";
    DiskFaults faults;
    switch (GetParam()) {
    case LogFault::logsFolderIsAFile:
        std::filesystem::create_directories(logs.parent_path());
        std::ofstream(logs, std::ios::binary) << earlier;
        break;
    case LogFault::readOnlyFolder:
        std::filesystem::create_directories(logs);
        std::ofstream(logs / "talverin-timestamp-2024-04-01.log", std::ios::binary) << earlier;
        faults.readOnlyFolder = logs;
        break;
    case LogFault::folderForTheDaysFile:
        for (const std::string& name : dayFileNamesAroundNow()) {
            std::filesystem::create_directories(logs / name);
        }
        break;
    case LogFault::fullDisk:
        std::filesystem::create_directories(logs);
        faults.smallDiskFolder = logs;
        faults.smallDiskSize = "256k";
        faults.smallDiskFull = true;
        break;
    }
    const auto listing = folderListing(logs);

    auto agent = bed.startAgent(faults);
    const auto accepted = [&](const std::string& label) {
        return agent->outputLines().count(QString::fromStdString(label));
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return accepted(arrivalLabel) == 1; }, 20000))
        << agent->outputLines().join(u'\n').toStdString() << agent->errorText().toStdString();
    const std::filesystem::path seen = asSeenBy(agent->processId(), logs);
    waitForTheNextSecond();
    ASSERT_TRUE(bed.lockScreen());
    ASSERT_TRUE(QTest::qWaitFor([&] { return accepted(leavingLabel) == 1; }, 20000));
    waitForTheNextSecond();
    ASSERT_TRUE(bed.unlockScreen());
    ASSERT_TRUE(QTest::qWaitFor([&] { return accepted(arrivalLabel) == 2; }, 20000));
    if (faults.smallDiskFull) {
        // A name still fits on the full disk, a line does not.
        for (const std::string& name : folderListing(seen)) {
            EXPECT_TRUE(name == ".filler" || std::filesystem::file_size(seen / name) == 0) << name;
        }
    }
    waitForTheNextSecond();
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);

    std::set<std::string> keys;
    for (const QString& line : agent->outputLines()) {
        if (line.startsWith(u"setUnset: ")) {
            keys.insert(line.mid(10).toStdString());
        }
    }
    EXPECT_THAT(keys, SizeIs(4));
    EXPECT_THAT(bed.stampsNeverAccepted(keys), IsEmpty());
    EXPECT_THAT(bed.records(), IsEmpty());
    // Nothing was written where the log could not go, and nothing else was disturbed.
    EXPECT_EQ(folderListing(logs), listing);
    if (GetParam() == LogFault::logsFolderIsAFile) {
        EXPECT_EQ(fileBytes(logs), earlier);
    }
    if (GetParam() == LogFault::readOnlyFolder) {
        EXPECT_EQ(fileBytes(logs / "talverin-timestamp-2024-04-01.log"), earlier);
    }
}

INSTANTIATE_TEST_SUITE_P(LogFaults, LogFaultTest,
                         ::testing::Values(LogFault::logsFolderIsAFile, LogFault::readOnlyFolder,
                                           LogFault::folderForTheDaysFile, LogFault::fullDisk),
                         [](const auto& parameter) { return nameOf(parameter.param); });

} // namespace
} // namespace talverin::testing
