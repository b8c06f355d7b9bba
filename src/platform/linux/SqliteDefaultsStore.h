#pragma once

#include "platform/DefaultsStore.h"

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace talverin {

// The user's defaults in one SQLite file: table defaults(key TEXT PRIMARY KEY, value), text values
// stored as TEXT, write-ahead log (a rollback journal where the folder cannot share memory) with
// synchronous=FULL so that a value is on disk when setString returns. One connection, guarded by a
// mutex, serves every thread.
//
// A file that cannot be opened or read is never written to, let alone replaced: the store then
// keeps its values in memory for this run, so stamps still go out with their true times, and says
// so once through the problem reporter. A write that fails later (a full disk) is kept in memory
// the same way and written to the file as soon as a later write succeeds.
class SqliteDefaultsStore final : public DefaultsStore {
public:
    using ProblemReporter =
        std::function<void(const std::string& consoleLine, const std::string& logLine)>;

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
    // A value kept in memory: what the file could not take, or, without a file, everything.
    struct MemoryValue {
        std::optional<std::string> text; // what stringForKey gives
        bool isText = true;              // false: a number, blob or NULL found in the file
        bool removed = false;            // a removal the file has not seen yet
        bool fromFile = false;           // read from a file that could not be written
    };

    struct Problem {
        std::string consoleLine;
        std::string logLine;
    };

    std::optional<Problem> open();
    int connect();
    bool isSound();
    bool sharedMemoryFailed() const;
    bool leaveWal();
    void reopenIfWorthIt();
    void makePrivate() const;
    std::optional<std::string> firstText(const char* sql);
    bool prepareStatements();
    void keepRowsInMemory();
    void closeDatabase();
    std::string databaseError() const;
    std::optional<Problem> problemOnce(const std::string& what, const std::string& logPrefix,
                                       const std::string& reason);

    std::optional<Problem> store(const std::string& key, std::optional<std::string> value);
    bool writeRow(const std::string& key, const std::optional<std::string>& value);
    void flushMemory();
    void report(const std::optional<Problem>& problem) const;

    const std::filesystem::path file_;
    const ProblemReporter reportProblem_;

    std::mutex mutex_;
    sqlite3* database_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* selectAll_ = nullptr;
    std::map<std::string, MemoryValue> memory_; // overrides the file; all there is without one
    bool reported_ = false;
    // The file could not be opened for writing (a folder not there yet, read-only, a lock that
    // failed): tried again at the next stamp. A file that is no sound database is never retried.
    bool retryOpen_ = false;
};

} // namespace talverin
