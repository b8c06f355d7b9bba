#pragma once

#include "platform/DefaultsStore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace talverin {

// The user's defaults in one SQLite file: table defaults(key TEXT PRIMARY KEY, value), text values
// stored as TEXT, write-ahead log (a rollback journal where the folder cannot share memory) with
// synchronous=FULL. Safe to call from every thread.
//
// No call waits for the file longer than callerPatience. A change goes to a writer thread of the
// store's own, which holds the one writing connection; the caller waits for it to be on disk, but
// not past that bound, however long another program holds a lock, a crashed writer's log is
// recovered or the disk takes. What is not on disk by then stays in memory, where it overrides
// the file, and the writer puts it there as soon as the file takes it. Reads have a connection of
// their own, which a waiting writer does not hold.
//
// A file that cannot be opened or read is never written to, let alone replaced: the store then
// keeps its values in memory for this run, so stamps still go out with their true times, and says
// so once through the problem reporter. A write that fails (a full disk) is kept in memory the
// same way and tried again with the next change.
class SqliteDefaultsStore final : public DefaultsStore {
public:
    using ProblemReporter =
        std::function<void(const std::string& consoleLine, const std::string& logLine)>;

    // Well inside the 4 s for which a power-off or a sleep is held back for the leaving stamp,
    // whose outcome removes a record from the store.
    static constexpr std::chrono::milliseconds callerPatience{1000};

    SqliteDefaultsStore(std::filesystem::path file, ProblemReporter reportProblem);
    ~SqliteDefaultsStore() override;
    SqliteDefaultsStore(const SqliteDefaultsStore&) = delete;
    SqliteDefaultsStore& operator=(const SqliteDefaultsStore&) = delete;

    // $XDG_DATA_HOME/com.talverin.Timestamp/defaults.sqlite3 (XDG_DATA_HOME defaults to
    // $HOME/.local/share); the folder and its parents are created.
    static std::filesystem::path defaultPath();

    void setString(const std::string& key, const std::string& value) override;
    std::optional<std::string> stringForKey(const std::string& key) override;
    void removeObject(const std::string& key) override;
    std::vector<std::pair<std::string, StoredValue>> dictionaryRepresentation() override;

    // True while values reach the file; false once the store lives in memory only.
    bool isPersistent();

private:
    using Clock = std::chrono::steady_clock;

    // A value kept in memory: what the file has not taken yet, or, without a file, everything.
    struct MemoryValue {
        std::optional<std::string> text; // what stringForKey gives
        bool isText = true;              // false: a number, blob or NULL found in the file
        bool removed = false;            // a removal the file has not seen yet
        bool fromFile = false;           // read from a file that could not be written
        std::uint64_t change = 0;        // the change that made it, for the writer
        bool listed = true;              // false: a new value whose setString has not returned
    };

    struct Problem {
        std::string consoleLine;
        std::string logLine;
    };

    std::optional<Problem> open();
    int connect(sqlite3** database, int (*busy)(void*, int));
    bool isSound();
    bool sharedMemoryFailed() const;
    bool leaveWal();
    bool openReader();
    void makePrivate() const;
    std::optional<std::string> firstText(const char* sql);
    void keepRowsInMemory();
    void closeDatabase();
    void closeReader();
    static std::string errorOf(sqlite3* connection);
    std::optional<Problem> problemOnce(const std::string& what, const std::string& logPrefix,
                                       const std::string& reason);
    void report(const std::optional<Problem>& problem) const;
    std::optional<Problem> readFailed(const std::string& reason) {
        return problemOnce("read failed", "未送信の打刻を保存先から読み込めませんでした:", reason);
    }

    void store(const std::string& key, std::optional<std::string> value);
    void writeChanges();
    bool write(const std::vector<std::pair<std::string, std::optional<std::string>>>& changes);
    bool writeRow(const std::string& key, const std::optional<std::string>& value);
    static int waitForWriter(void* store, int attempts);
    static int waitForReader(void* store, int attempts);

    const std::filesystem::path file_;
    const ProblemReporter reportProblem_;
    std::atomic<bool> reported_ = false;

    // What callers and the writer share.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, MemoryValue> memory_; // overrides the file; all there is without one
    std::uint64_t requested_ = 0;               // the last change handed to the writer
    std::uint64_t settled_ = 0; // every change up to this one is on disk, or failed to get there
    bool writable_ = false;     // the file is open for writing, or may open later
    bool persistent_ = false;   // the file is open for writing
    bool delayed_ = false;      // a caller stopped waiting; the writer has not finished since
    bool stopping_ = false;

    // The writer's: its connection, and how long it waits for a lock (until the store ends).
    sqlite3* database_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    std::atomic<Clock::rep> writerPatience_;
    // The file could not be opened for writing (a folder not there yet, read-only, a lock that
    // failed): tried again at the next change. A file that is no sound database is never retried.
    bool retryOpen_ = false;

    // The readers': one connection at a time, each read within callerPatience.
    std::timed_mutex readMutex_;
    sqlite3* reader_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* selectAll_ = nullptr;
    Clock::time_point readDeadline_;

    std::thread writer_;
};

} // namespace talverin
