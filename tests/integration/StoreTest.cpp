#include "FakePlatform.h"
#include "ScopedEnvironmentVariable.h"
#include "platform/linux/SqliteDefaultsStore.h"

#include <sqlite3.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace talverin::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

const std::string arrivalKey = "開始時の打刻_20240401083005";
const std::string leavingKey = "終了時の打刻_20240401183005";

struct Report {
    std::string consoleLine;
    std::string logLine;
};

// Collects what the store says about its problems.
struct Reports {
    std::vector<Report> lines;
    SqliteDefaultsStore::ProblemReporter reporter() {
        return [this](const std::string& console, const std::string& log) {
            lines.push_back({console, log});
        };
    }
};

std::string fileBytes(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

std::vector<std::string> folderListing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, std::optional<std::string>>
asMap(const std::vector<std::pair<std::string, StoredValue>>& entries) {
    std::map<std::string, std::optional<std::string>> map;
    for (const auto& [key, value] : entries) {
        EXPECT_EQ(map.count(key), 0u) << "listed twice: " << key;
        map[key] = value.text;
    }
    return map;
}

// A connection of the test's own, to look at the file behind the store's back.
class RawDatabase {
public:
    explicit RawDatabase(const fs::path& file) {
        if (sqlite3_open(file.c_str(), &database_) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << file;
        }
        sqlite3_busy_timeout(database_, 10000);
    }
    ~RawDatabase() { sqlite3_close(database_); }
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    void execute(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (message != nullptr ? message : "");
        }
        sqlite3_free(message);
    }
    // The first column of every row, as text.
    std::vector<std::string> column(const std::string& sql) {
        std::vector<std::string> values;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(database_);
            return values;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
        }
        sqlite3_finalize(statement);
        return values;
    }

private:
    sqlite3* database_ = nullptr;
};

// Runs body in a child process, as an unprivileged user when the test runs as root (root writes
// into read-only folders regardless). body returns what went wrong, or nothing.
std::string inUnprivilegedChild(const std::function<std::string()>& body) {
    int channel[2];
    if (pipe(channel) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string failures;
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            failures = "cannot drop root";
        } else {
            failures = body();
        }
        const auto written = write(channel[1], failures.data(), failures.size());
        _exit(written == static_cast<ssize_t>(failures.size()) ? 0 : 1);
    }
    close(channel[1]);
    std::string failures;
    char buffer[512];
    ssize_t count = 0;
    while ((count = read(channel[0], buffer, sizeof buffer)) > 0) {
        failures.append(buffer, static_cast<std::size_t>(count));
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        failures += " (child ended abnormally)";
    }
    return failures;
}

class SqliteDefaultsStoreTest : public ::testing::Test {
protected:
    fs::path storeFile() const {
        return folder_.path() / "com.talverin.Timestamp" / "defaults.sqlite3";
    }

    void SetUp() override { fs::create_directories(storeFile().parent_path()); }

    TemporaryFolder folder_;
    ScopedEnvironmentVariable home_{"HOME", folder_.path().string()};
    Reports reports_;
};

TEST_F(SqliteDefaultsStoreTest, ValuesPersistAcrossInstancesAsText) {
    {
        SqliteDefaultsStore store(storeFile(), reports_.reporter());
        EXPECT_TRUE(store.isPersistent());
        store.setString(arrivalKey, "20240401083005");
        store.setString(leavingKey, "first");
        store.setString(leavingKey, "20240401183005");
        store.setString("gone", "x");
        store.removeObject("gone");
        store.removeObject("never there");
        EXPECT_EQ(store.stringForKey(leavingKey), "20240401183005");
        EXPECT_EQ(store.stringForKey("gone"), std::nullopt);
    }
    SqliteDefaultsStore reopened(storeFile(), reports_.reporter());
    EXPECT_EQ(reopened.stringForKey(arrivalKey), "20240401083005");
    EXPECT_THAT(asMap(reopened.dictionaryRepresentation()),
                UnorderedElementsAre(Pair(arrivalKey, "20240401083005"),
                                     Pair(leavingKey, "20240401183005")));
    EXPECT_THAT(reports_.lines, IsEmpty());

    RawDatabase raw(storeFile());
    EXPECT_THAT(raw.column("PRAGMA journal_mode"), ElementsAre("wal"));
    EXPECT_THAT(raw.column("SELECT DISTINCT typeof(value) FROM defaults"), ElementsAre("text"));
    EXPECT_THAT(raw.column("SELECT name FROM pragma_table_info('defaults') ORDER BY cid"),
                ElementsAre("key", "value"));
}

TEST_F(SqliteDefaultsStoreTest, DefaultPathFollowsTheDataHomeAndMakesTheFolder) {
    {
        ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", (folder_.path() / "a" / "b").string());
        const fs::path path = SqliteDefaultsStore::defaultPath();
        EXPECT_EQ(path, folder_.path() / "a" / "b" / "com.talverin.Timestamp" / "defaults.sqlite3");
        EXPECT_TRUE(fs::is_directory(path.parent_path()));
    }
    for (const std::optional<std::string>& unusable :
         {std::optional<std::string>(), std::optional<std::string>("relative/x")}) {
        ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", unusable);
        const fs::path path = SqliteDefaultsStore::defaultPath();
        EXPECT_EQ(path, folder_.path() / ".local" / "share" / "com.talverin.Timestamp" /
                            "defaults.sqlite3");
        EXPECT_TRUE(fs::is_directory(path.parent_path()));
    }
}

TEST_F(SqliteDefaultsStoreTest, ValuesThatAreNotTextAreListedAndNeverRewritten) {
    { SqliteDefaultsStore created(storeFile(), reports_.reporter()); }
    {
        RawDatabase raw(storeFile());
        raw.execute("INSERT INTO defaults VALUES ('count', 42), ('ratio', 1.5), ('whole', 3.0),"
                    " ('picture', x'00ff'), ('nothing', NULL), ('" +
                    leavingKey + "', 20240401183005), ('text', 'plain')");
    }
    SqliteDefaultsStore store(storeFile(), reports_.reporter());
    // Numbers read as their decimal text; blobs and NULL as nothing.
    EXPECT_EQ(store.stringForKey("count"), "42");
    EXPECT_EQ(store.stringForKey("ratio"), "1.5");
    EXPECT_EQ(store.stringForKey("whole"), "3");
    EXPECT_EQ(store.stringForKey(leavingKey), "20240401183005");
    EXPECT_EQ(store.stringForKey("picture"), std::nullopt);
    EXPECT_EQ(store.stringForKey("nothing"), std::nullopt);
    EXPECT_EQ(store.stringForKey("text"), "plain");

    store.setString(arrivalKey, "20240401083005");
    store.removeObject("text");
    EXPECT_THAT(asMap(store.dictionaryRepresentation()),
                UnorderedElementsAre(Pair("count", std::nullopt), Pair("ratio", std::nullopt),
                                     Pair("whole", std::nullopt), Pair("picture", std::nullopt),
                                     Pair("nothing", std::nullopt), Pair(leavingKey, std::nullopt),
                                     Pair(arrivalKey, "20240401083005")));

    RawDatabase raw(storeFile());
    EXPECT_THAT(raw.column("SELECT key || '=' || typeof(value) FROM defaults ORDER BY key"),
                ElementsAre("count=integer", "nothing=null", "picture=blob", "ratio=real",
                            "whole=real", leavingKey + "=integer", arrivalKey + "=text"));
    EXPECT_THAT(reports_.lines, IsEmpty());
}

TEST_F(SqliteDefaultsStoreTest, TwoThreadsWriteAndRemoveAtOnce) {
    constexpr int keysPerThread = 5000;
    SqliteDefaultsStore store(storeFile(), reports_.reporter());
    std::atomic<int> mismatches{0};
    const auto work = [&](const std::string& prefix) {
        for (int index = 0; index < keysPerThread; ++index) {
            const std::string key = prefix + std::to_string(index);
            store.setString(key, "value of " + key);
            if (store.stringForKey(key) != "value of " + key) {
                ++mismatches;
            }
            // Every other key goes again, as accepted stamps do.
            if (index % 2 == 0) {
                store.removeObject(key);
                if (store.stringForKey(key).has_value()) {
                    ++mismatches;
                }
            }
            // Now and then the whole store is listed while the other thread writes.
            if (index % 500 == 1) {
                const auto entries = asMap(store.dictionaryRepresentation());
                if (entries.count(key) != 1 || entries.count(prefix + "0") != 0) {
                    ++mismatches;
                }
            }
        }
    };
    std::thread main(work, "main-");
    std::thread delivery(work, "delivery-");
    main.join();
    delivery.join();
    EXPECT_EQ(mismatches, 0);

    const auto check = [&](DefaultsStore& checked) {
        const auto entries = asMap(checked.dictionaryRepresentation());
        EXPECT_EQ(entries.size(), static_cast<std::size_t>(keysPerThread));
        for (const std::string prefix : {"main-", "delivery-"}) {
            for (int index = 0; index < keysPerThread; ++index) {
                const std::string key = prefix + std::to_string(index);
                const auto found = entries.find(key);
                if (index % 2 == 0) {
                    EXPECT_EQ(found, entries.end()) << key;
                } else {
                    ASSERT_NE(found, entries.end()) << key;
                    EXPECT_EQ(found->second, "value of " + key);
                }
            }
        }
    };
    check(store);
    SqliteDefaultsStore reopened(storeFile(), reports_.reporter());
    check(reopened);
    EXPECT_THAT(reports_.lines, IsEmpty());
}

TEST_F(SqliteDefaultsStoreTest, ARecordSurvivesTheProcessBeingKilledRightAfterTheWrite) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        SqliteDefaultsStore store(storeFile(), {});
        store.setString(arrivalKey, "20240401083005");
        raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(WTERMSIG(status), SIGKILL);

    SqliteDefaultsStore reopened(storeFile(), reports_.reporter());
    EXPECT_EQ(reopened.stringForKey(arrivalKey), "20240401083005");
    EXPECT_THAT(reports_.lines, IsEmpty());
}

// The store works from memory, and says once what is wrong with the file.
void expectMemoryFallback(SqliteDefaultsStore& store, const Reports& reports,
                          const fs::path& file) {
    EXPECT_FALSE(store.isPersistent());
    store.setString(arrivalKey, "20240401083005");
    store.setString(leavingKey, "20240401183005");
    store.removeObject(leavingKey);
    EXPECT_EQ(store.stringForKey(arrivalKey), "20240401083005");
    EXPECT_EQ(store.stringForKey(leavingKey), std::nullopt);
    EXPECT_THAT(asMap(store.dictionaryRepresentation()),
                ElementsAre(Pair(arrivalKey, "20240401083005")));
    ASSERT_EQ(reports.lines.size(), 1u);
    EXPECT_THAT(reports.lines[0].consoleLine,
                StartsWith("defaults store unavailable: " + file.string() + ": "));
    EXPECT_THAT(reports.lines[0].logLine,
                StartsWith("未送信の打刻の保存先を開けませんでした:" + file.string() + " "));
}

TEST_F(SqliteDefaultsStoreTest, AFileThatIsNotADatabaseIsLeftAlone) {
    const std::string text = "these are someone's notes, not a database\n";
    std::ofstream(storeFile(), std::ios::binary) << text;
    const auto listing = folderListing(storeFile().parent_path());

    {
        SqliteDefaultsStore store(storeFile(), reports_.reporter());
        expectMemoryFallback(store, reports_, storeFile());
        EXPECT_THAT(reports_.lines[0].consoleLine, HasSubstr("file is not a database"));
    }
    EXPECT_EQ(fileBytes(storeFile()), text);
    EXPECT_EQ(folderListing(storeFile().parent_path()), listing);
}

TEST_F(SqliteDefaultsStoreTest, ADamagedDatabaseIsLeftAlone) {
    {
        SqliteDefaultsStore store(storeFile(), {});
        for (int index = 0; index < 200; ++index) {
            store.setString(arrivalKey + std::to_string(index), "20240401083005");
        }
    }
    {
        // Fold the log into the file, so that the damage below is all there is.
        RawDatabase raw(storeFile());
        raw.execute("PRAGMA wal_checkpoint(TRUNCATE); PRAGMA journal_mode=DELETE");
    }
    std::string bytes = fileBytes(storeFile());
    ASSERT_GT(bytes.size(), 3u * 4096u);
    std::fill(bytes.begin() + 4096 + 8, bytes.begin() + 3 * 4096, '\x5a');
    std::ofstream(storeFile(), std::ios::binary | std::ios::trunc) << bytes;
    const auto listing = folderListing(storeFile().parent_path());

    {
        SqliteDefaultsStore store(storeFile(), reports_.reporter());
        expectMemoryFallback(store, reports_, storeFile());
    }
    EXPECT_EQ(fileBytes(storeFile()), bytes);
    EXPECT_EQ(folderListing(storeFile().parent_path()), listing);
}

TEST_F(SqliteDefaultsStoreTest, AReadOnlyFolderLeavesTheStoreInMemory) {
    // An earlier run's store, then the folder becomes read-only; and a folder with no store yet.
    const fs::path withStore = storeFile().parent_path();
    const fs::path empty = folder_.path() / "empty";
    {
        SqliteDefaultsStore store(storeFile(), {});
        store.setString(leavingKey, "20240401183005");
    }
    fs::create_directory(empty);
    const std::string bytes = fileBytes(storeFile());
    const auto listing = folderListing(withStore);
    fs::permissions(folder_.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    for (const fs::path& folder : {withStore, empty}) {
        fs::permissions(folder,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    // Writable again at the end, so that the temporary folder can go.
    struct Writable {
        std::vector<fs::path> folders;
        ~Writable() {
            for (const fs::path& folder : folders) {
                fs::permissions(folder, fs::perms::owner_write, fs::perm_options::add);
            }
        }
    } writableAtTheEnd{{withStore, empty}};

    for (const fs::path& file : {storeFile(), empty / "defaults.sqlite3"}) {
        SCOPED_TRACE(file.string());
        const std::string failures = inUnprivilegedChild([&file] {
            Reports reports;
            SqliteDefaultsStore store(file, reports.reporter());
            store.setString(arrivalKey, "20240401083005");
            store.removeObject(arrivalKey);
            store.setString(arrivalKey, "20240401083005");
            std::string problems;
            if (store.isPersistent()) {
                problems += "the store claims to write to a read-only folder; ";
            }
            if (store.stringForKey(arrivalKey) != "20240401083005") {
                problems += "the value did not stay in memory; ";
            }
            if (reports.lines.size() != 1 ||
                reports.lines[0].consoleLine.rfind("defaults store unavailable: " + file.string(),
                                                   0) != 0) {
                problems += "expected one report, got " + std::to_string(reports.lines.size());
            }
            return problems;
        });
        EXPECT_EQ(failures, "");
    }
    EXPECT_EQ(fileBytes(storeFile()), bytes);
    EXPECT_EQ(folderListing(withStore), listing);
    EXPECT_THAT(folderListing(empty), IsEmpty());
}

TEST_F(SqliteDefaultsStoreTest, AWriteThatFailsIsKeptAndWrittenOnceTheFileTakesWritesAgain) {
    SqliteDefaultsStore store(storeFile(), reports_.reporter());
    store.setString(leavingKey, "20240401183005");
    {
        // Another writer holds the file past the store's patience.
        RawDatabase blocker(storeFile());
        blocker.execute("BEGIN IMMEDIATE");
        store.setString(arrivalKey, "20240401083005");
        store.removeObject(leavingKey);
        EXPECT_EQ(store.stringForKey(arrivalKey), "20240401083005");
        EXPECT_EQ(store.stringForKey(leavingKey), std::nullopt);
        EXPECT_THAT(asMap(store.dictionaryRepresentation()),
                    ElementsAre(Pair(arrivalKey, "20240401083005")));
        blocker.execute("ROLLBACK");
    }
    ASSERT_EQ(reports_.lines.size(), 1u);
    EXPECT_THAT(reports_.lines[0].consoleLine,
                StartsWith("defaults store write failed: " + storeFile().string() + ": "));
    EXPECT_THAT(reports_.lines[0].logLine,
                StartsWith("未送信の打刻を保存先に書き込めませんでした:" + storeFile().string()));
    EXPECT_TRUE(store.isPersistent());

    // The next write that succeeds brings the file up to date.
    store.setString("other", "x");
    SqliteDefaultsStore reopened(storeFile(), {});
    EXPECT_THAT(asMap(reopened.dictionaryRepresentation()),
                UnorderedElementsAre(Pair(arrivalKey, "20240401083005"), Pair("other", "x")));
    EXPECT_EQ(reports_.lines.size(), 1u);
}

} // namespace
} // namespace talverin::testing
