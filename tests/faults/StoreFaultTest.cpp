#include "FaultTestBed.h"
#include "SeededStore.h"

#include <QTest>

#include <gmock/gmock.h>

#include <csignal>
#include <fstream>

namespace talverin::testing {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

// Two stamps an earlier run could not send.
const std::vector<std::pair<std::string, std::string>> earlierRecords{
    {"開始時の打刻_20240401083005", "20240401083005"},
    {"終了時の打刻_20240401183005", "20240401183005"},
};

enum class StoreFault { notADatabase, damaged, readOnlyFolder, fullDisk };

std::string nameOf(StoreFault fault) {
    switch (fault) {
    case StoreFault::notADatabase:
        return "NotADatabase";
    case StoreFault::damaged:
        return "Damaged";
    case StoreFault::readOnlyFolder:
        return "ReadOnlyFolder";
    case StoreFault::fullDisk:
        return "FullDisk";
    }
    return {};
}

// Breaks a sound store with records in it: pages in the middle are overwritten.
void damage(const std::filesystem::path& file) {
    SeededStore seeded(file);
    std::vector<std::pair<std::string, std::string>> many = earlierRecords;
    for (int index = 0; index < 200; ++index) {
        many.emplace_back("終了時の打刻_x" + std::to_string(index), "20240401183005");
    }
    ASSERT_TRUE(seeded.addText(many));
    // Fold the log into the file first, so that the damage is all there is.
    ASSERT_TRUE(seeded.execute("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE"));
    std::string bytes = fileBytes(file);
    ASSERT_GT(bytes.size(), 3u * 4096u);
    std::fill(bytes.begin() + 4096 + 8, bytes.begin() + 3 * 4096, '\x5a');
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

class StoreFaultTest : public ::testing::TestWithParam<StoreFault> {
protected:
    void SetUp() override { ASSERT_EQ(bed.problem(), ""); }

    FaultTestBed bed;
};

TEST_P(StoreFaultTest, TheFileIsNeverWrittenTheFaultIsReportedAndStampsStillGoOut) {
    const std::filesystem::path store = bed.storeFile();
    DiskFaults faults;
    switch (GetParam()) {
    case StoreFault::notADatabase:
        std::filesystem::create_directories(store.parent_path());
        std::ofstream(store, std::ios::binary) << "someone's notes, not a database\n";
        break;
    case StoreFault::damaged:
        ASSERT_NO_FATAL_FAILURE(damage(store));
        break;
    case StoreFault::readOnlyFolder:
        ASSERT_TRUE(SeededStore(store).addText(earlierRecords));
        faults.readOnlyFolder = store.parent_path();
        break;
    case StoreFault::fullDisk:
        ASSERT_TRUE(SeededStore(store).addText(earlierRecords));
        faults.smallDiskFolder = store.parent_path();
        faults.smallDiskFull = true;
        break;
    }
    const std::string bytes = fileBytes(store);
    const auto listing = folderListing(store.parent_path());

    auto agent = bed.startAgent(faults);
    // The store as the agent sees it, through its own mounts.
    const std::filesystem::path seen = asSeenBy(agent->processId(), store);
    ASSERT_TRUE(agent->waitForLineContaining(
        QString::fromStdString("defaults store unavailable: " + store.string() + ": ")))
        << agent->outputLines().join(u'\n').toStdString() << agent->errorText().toStdString();
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString(arrivalLabel)));
    EXPECT_TRUE(bed.waitForLogLineStartingWith(
        "未送信の打刻の保存先を開けませんでした:" + store.string() + " "));

    waitForTheNextSecond();
    ASSERT_TRUE(bed.lockScreen());
    ASSERT_TRUE(bed.waitForRequests(leavingPath, 1));
    waitForTheNextSecond();
    ASSERT_TRUE(bed.unlockScreen());
    ASSERT_TRUE(bed.waitForRequests(arrivalPath, 2));
    EXPECT_EQ(fileBytes(seen), bytes);
    // Nothing beside it but, on the full disk, SQLite's own companions of a file it has read.
    auto seenListing = folderListing(seen.parent_path());
    if (faults.smallDiskFull) {
        std::erase_if(seenListing, [&](const std::string& name) {
            return name == ".filler" || name == store.filename().string() + "-wal" ||
                   name == store.filename().string() + "-shm";
        });
    }
    EXPECT_EQ(seenListing, listing);

    waitForTheNextSecond();
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);

    // Every fresh stamp went out with its time, each accepted once the service had it.
    std::set<std::string> keys;
    for (const QString& line : agent->outputLines()) {
        if (line.startsWith(u"setUnset: ")) {
            keys.insert(line.mid(10).toStdString());
        }
    }
    EXPECT_THAT(keys, SizeIs(4));
    EXPECT_THAT(bed.stampsNeverAccepted(keys), IsEmpty());
    // The console said it once, and so did the log.
    EXPECT_EQ(agent->outputLines().filter(QStringLiteral("defaults store ")).size(), 1);
    const auto log = bed.logMessages();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(),
                  [](const std::string& line) { return line.starts_with("未送信の打刻の保存先"); }),
              1);
    // The file is as it was: not repaired, not replaced, nothing beside it.
    if (!faults.smallDiskFolder) {
        EXPECT_EQ(fileBytes(store), bytes);
        EXPECT_EQ(folderListing(store.parent_path()), listing);
    }
    // Where the fault ends, the earlier stamps, kept all along, arrive with the next run.
    if (faults.readOnlyFolder || faults.smallDiskFolder) {
        ASSERT_TRUE(bed.waitUntilNoAgentIsRunning());
        auto next = bed.startAcceptedAgent();
        EXPECT_TRUE(bed.waitForRecordCount(0)) << bed.recentActivity(*next);
        EXPECT_THAT(bed.stampsNeverAccepted({earlierRecords[0].first, earlierRecords[1].first}),
                    IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(StoreFaults, StoreFaultTest,
                         ::testing::Values(StoreFault::notADatabase, StoreFault::damaged,
                                           StoreFault::readOnlyFolder, StoreFault::fullDisk),
                         [](const auto& parameter) { return nameOf(parameter.param); });

// The disk fills up while the agent runs and empties again: what could not be written is kept in
// memory, reaches the file with the next write that succeeds, and is sent all the while.
TEST(StoreFullDiskTest, AStampMadeWhileTheDiskIsFullReachesTheFileOnceThereIsRoomAgain) {
    FaultTestBed bed;
    ASSERT_EQ(bed.problem(), "");
    const std::filesystem::path store = bed.storeFile();
    std::filesystem::create_directories(store.parent_path());
    DiskFaults faults;
    faults.smallDiskFolder = store.parent_path();
    faults.smallDiskSize = "2m";
    auto agent = bed.startAgent(faults);
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString(arrivalLabel)));
    const std::filesystem::path seen = asSeenBy(agent->processId(), store);
    const std::filesystem::path filler = seen.parent_path() / "filler";
    ASSERT_GT(fillDisk(filler), 0u);

    // The service refuses leaving stamps for now, so the record must stay somewhere.
    ASSERT_TRUE(bed.service->answer(leavingPath, 500, "maintenance"));
    waitForTheNextSecond();
    ASSERT_TRUE(bed.lockScreen());
    ASSERT_TRUE(agent->waitForLineContaining(
        QString::fromStdString("defaults store write failed: " + store.string() + ": ")))
        << agent->outputLines().join(u'\n').toStdString();
    ASSERT_TRUE(bed.waitForLogLineStartingWith("終了時の打刻に失敗しました:maintenance"));
    EXPECT_TRUE(bed.hasLogLineStartingWith(
        "未送信の打刻を保存先に書き込めませんでした:" + store.string() + " "));
    const QStringList lines = agent->outputLines();
    const QString leavingLine = lines.filter(QStringLiteral("setUnset: 終了時の打刻_")).last();
    const std::string leavingKey = leavingLine.mid(10).toStdString();
    EXPECT_EQ(bed.recordsInCopyOf(seen).count(leavingKey), 0u) << "written to a full disk?";

    // Room again: the next write brings the file up to date.
    std::filesystem::remove(filler);
    waitForTheNextSecond();
    ASSERT_TRUE(bed.unlockScreen());
    ASSERT_TRUE(bed.waitForRequests(leavingPath, 2)); // resent after the accepted arrival
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return bed.recordsInCopyOf(seen).count(leavingKey) == 1; }, 20000))
        << "the kept record never reached the file\n"
        << bed.recentActivity(*agent);

    ASSERT_TRUE(bed.service->clearBehaviours());
    waitForTheNextSecond();
    ASSERT_TRUE(bed.lockScreen());
    waitForTheNextSecond();
    ASSERT_TRUE(bed.unlockScreen());
    EXPECT_TRUE(QTest::qWaitFor([&] { return bed.recordsInCopyOf(seen).empty(); }, 20000));
    EXPECT_THAT(bed.stampsNeverAccepted({leavingKey}), IsEmpty());
    EXPECT_EQ(agent->outputLines().filter(QStringLiteral("defaults store ")).size(), 1);
}

} // namespace
} // namespace talverin::testing
