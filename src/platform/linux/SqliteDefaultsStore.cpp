#include "platform/linux/SqliteDefaultsStore.h"

#include "platform/linux/HomeFolder.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace talverin {

namespace {

// How long opening the file at start-up, and the last writes when the store ends, wait for a lock
// that another program holds; in between, the writer waits as long as it takes.
constexpr std::chrono::seconds lockPatienceAtEnds{3};
constexpr std::chrono::milliseconds lockRetryPause{5};

std::string columnBytes(sqlite3_stmt* statement, int column) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    const int size = sqlite3_column_bytes(statement, column);
    if (bytes == nullptr || size <= 0) {
        return {};
    }
    return std::string(bytes, static_cast<std::size_t>(size));
}

// Text as text; a number as its decimal text, as the store has always given numbers; a blob or
// NULL as nothing.
std::optional<std::string> textOfColumn(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_TEXT:
        return columnBytes(statement, column);
    case SQLITE_INTEGER:
        return std::to_string(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT: {
        std::array<char, 32> buffer{};
        const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                                sqlite3_column_double(statement, column));
        if (error != std::errc()) {
            return std::nullopt;
        }
        return std::string(buffer.data(), end);
    }
    default:
        return std::nullopt;
    }
}

bool bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8) == SQLITE_OK;
}

// Steps a statement that yields no rows and makes it ready for the next use.
bool runToCompletion(sqlite3_stmt* statement) {
    const int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return result == SQLITE_DONE;
}

} // namespace

SqliteDefaultsStore::SqliteDefaultsStore(std::filesystem::path file, ProblemReporter reportProblem)
    : file_(std::move(file)), reportProblem_(std::move(reportProblem)),
      writerPatience_((Clock::now() + lockPatienceAtEnds).time_since_epoch().count()) {
    report(open());
    writable_ = database_ != nullptr || retryOpen_;
    persistent_ = database_ != nullptr;
    writerPatience_ = Clock::time_point::max().time_since_epoch().count();
    writer_ = std::thread([this] { writeChanges(); });
}

SqliteDefaultsStore::~SqliteDefaultsStore() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        // What still waits for a lock has a last chance, and no more: the agent is ending.
        writerPatience_ = (Clock::now() + lockPatienceAtEnds).time_since_epoch().count();
    }
    changed_.notify_all();
    writer_.join();
    closeDatabase();
    closeReader();
}

std::filesystem::path SqliteDefaultsStore::defaultPath() {
    std::filesystem::path dataHome;
    // Relative values are invalid by the base directory rules and are ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        dataHome = xdg;
    } else {
        const std::string home = homeFolder();
        dataHome = (home.empty() ? std::filesystem::current_path() : std::filesystem::path(home)) /
                   ".local" / "share";
    }
    const std::filesystem::path folder = dataHome / "com.talverin.Timestamp";
    std::error_code ignored; // a folder that cannot be made is reported when the store opens
    std::filesystem::create_directories(dataHome, ignored);
    // The records are the user's working hours: nobody else may list or read them, from the
    // moment the folder exists, whatever the umask.
    ::mkdir(folder.c_str(), 0700);
    return folder / "defaults.sqlite3";
}

// Nothing is written to the file until it has been read successfully, so a file that is damaged,
// not a database, or held by someone else is left exactly as it is.
std::optional<SqliteDefaultsStore::Problem> SqliteDefaultsStore::open() {
    retryOpen_ = false;
    makePrivate();
    // Made here, private, before SQLite would make it with the umask's modes; SQLite gives its
    // -wal and -shm files the modes of the database file.
    if (const int made = ::open(file_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        made >= 0) {
        ::close(made);
    }
    if (const int opened = connect(&database_, waitForWriter); opened != SQLITE_OK) {
        const std::string reason =
            database_ != nullptr ? errorOf(database_) : std::string(sqlite3_errstr(opened));
        closeDatabase();
        retryOpen_ = true;
        return problemOnce("unavailable", "未送信の打刻の保存先を開けませんでした:", reason);
    }
    if (!isSound() && (!sharedMemoryFailed() || !leaveWal() || !isSound())) {
        const std::string reason = errorOf(database_);
        // A file that could not be read at all (a WAL store in a folder that is read-only for
        // now) may be read later; one that was read and found damaged is left alone for good.
        const int code = sqlite3_errcode(database_) & 0xFF;
        retryOpen_ = code == SQLITE_CANTOPEN || code == SQLITE_READONLY || code == SQLITE_IOERR ||
                     code == SQLITE_BUSY || code == SQLITE_FULL;
        closeDatabase();
        return problemOnce("unavailable", "未送信の打刻の保存先を開けませんでした:", reason);
    }

    // From here on the file is known to be a sound database: what it holds is kept for this run
    // even if it cannot be written.
    if (sqlite3_db_readonly(database_, "main") == 1) {
        keepRowsInMemory();
        retryOpen_ = true;
        return problemOnce("unavailable", "未送信の打刻の保存先を開けませんでした:",
                           "attempt to write a readonly database");
    }
    // The journal mode is answered with the mode asked for even where the -shm file cannot be
    // mapped (a FUSE, 9p or SMB home folder): only the next access fails. Where WAL cannot work,
    // the rollback journal still puts every record on disk before it is sent.
    const bool journaled = firstText("PRAGMA journal_mode=WAL") == "wal"
                               ? firstText("SELECT count(*) FROM sqlite_master") ||
                                     (sharedMemoryFailed() && leaveWal())
                               : firstText("PRAGMA journal_mode=DELETE") == "delete";
    const auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(database_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement,
                                  nullptr) == SQLITE_OK;
    };
    bool ready = journaled && firstText("PRAGMA synchronous=FULL") &&
                 firstText("CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value)") &&
                 prepare("INSERT INTO defaults(key, value) VALUES(?1, ?2) "
                         "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
                         &insert_) &&
                 prepare("DELETE FROM defaults WHERE key = ?1", &remove_);
    std::string reason = errorOf(database_);
    if (ready && !openReader()) {
        ready = false;
        reason = errorOf(reader_);
    }
    if (!ready) {
        closeReader();
        keepRowsInMemory();
        retryOpen_ = true;
        return problemOnce("unavailable", "未送信の打刻の保存先を開けませんでした:", reason);
    }
    return std::nullopt;
}

int SqliteDefaultsStore::connect(sqlite3** database, int (*busy)(void*, int)) {
    const int opened = sqlite3_open_v2(file_.c_str(), database,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (opened == SQLITE_OK) {
        sqlite3_extended_result_codes(*database, 1);
        sqlite3_busy_handler(*database, busy, this);
    }
    return opened;
}

bool SqliteDefaultsStore::isSound() {
    return firstText("SELECT count(*) FROM sqlite_master") &&
           firstText("PRAGMA quick_check") == "ok";
}

bool SqliteDefaultsStore::sharedMemoryFailed() const {
    const int code = sqlite3_extended_errcode(database_);
    return code == SQLITE_IOERR_SHMOPEN || code == SQLITE_IOERR_SHMSIZE ||
           code == SQLITE_IOERR_SHMMAP;
}

// In exclusive locking mode SQLite keeps the WAL index in this process's memory, without the -shm
// file, and so can turn the WAL back into a rollback journal. That mode must be set before the
// first access, hence a fresh connection; the lock goes with the next access in normal mode.
bool SqliteDefaultsStore::leaveWal() {
    closeDatabase();
    return connect(&database_, waitForWriter) == SQLITE_OK &&
           firstText("PRAGMA locking_mode=EXCLUSIVE") &&
           firstText("PRAGMA journal_mode=DELETE") == "delete" &&
           firstText("PRAGMA locking_mode=NORMAL");
}

// The readers' connection, opened once the writer's has made the file ready.
bool SqliteDefaultsStore::openReader() {
    const std::lock_guard read(readMutex_);
    readDeadline_ = Clock::now() + callerPatience;
    const auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(reader_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement,
                                  nullptr) == SQLITE_OK;
    };
    return connect(&reader_, waitForReader) == SQLITE_OK &&
           prepare("SELECT value FROM defaults WHERE key = ?1", &select_) &&
           prepare("SELECT key, value FROM defaults", &selectAll_);
}

// A store made by an older version, or by hand, may be readable by other accounts: it is made
// private before SQLite reads it or makes its -wal and -shm files with its modes.
void SqliteDefaultsStore::makePrivate() const {
    ::chmod(file_.parent_path().c_str(), 0700);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        ::chmod((file_.string() + suffix).c_str(), 0600);
    }
}

// Runs one statement to its end and gives the first column of its first row ("" without rows), or
// nothing when the statement fails.
std::optional<std::string> SqliteDefaultsStore::firstText(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return std::nullopt;
    }
    std::optional<std::string> first;
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        if (!first) {
            first = textOfColumn(statement, 0).value_or(std::string());
        }
    }
    sqlite3_finalize(statement);
    if (result != SQLITE_DONE) {
        return std::nullopt;
    }
    return first.value_or(std::string());
}

// Takes what a readable file holds into memory, below what this run has changed, and lets go of
// the file.
void SqliteDefaultsStore::keepRowsInMemory() {
    std::vector<std::pair<std::string, MemoryValue>> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, "SELECT key, value FROM defaults", -1, &statement, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            rows.emplace_back(columnBytes(statement, 0),
                              MemoryValue{textOfColumn(statement, 1),
                                          sqlite3_column_type(statement, 1) == SQLITE_TEXT, false,
                                          true});
        }
    }
    sqlite3_finalize(statement);
    closeDatabase();
    const std::lock_guard lock(mutex_);
    for (auto& [key, value] : rows) {
        if (const auto [entry, added] = memory_.try_emplace(key, value);
            !added && entry->second.fromFile) {
            entry->second = std::move(value);
        }
    }
}

void SqliteDefaultsStore::closeDatabase() {
    for (sqlite3_stmt** statement : {&insert_, &remove_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close_v2(database_);
    database_ = nullptr;
}

void SqliteDefaultsStore::closeReader() {
    const std::lock_guard read(readMutex_);
    for (sqlite3_stmt** statement : {&select_, &selectAll_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close_v2(reader_);
    reader_ = nullptr;
}

std::string SqliteDefaultsStore::errorOf(sqlite3* connection) {
    std::string reason = sqlite3_errmsg(connection);
    if (const int systemError = sqlite3_system_errno(connection); systemError != 0) {
        reason += " (";
        reason += std::strerror(systemError);
        reason += ")";
    }
    return reason;
}

std::optional<SqliteDefaultsStore::Problem>
SqliteDefaultsStore::problemOnce(const std::string& what, const std::string& logPrefix,
                                 const std::string& reason) {
    if (reported_.exchange(true)) {
        return std::nullopt;
    }
    return Problem{"defaults store " + what + ": " + file_.string() + ": " + reason,
                   logPrefix + file_.string() + " " + reason};
}

void SqliteDefaultsStore::report(const std::optional<Problem>& problem) const {
    if (problem && reportProblem_) {
        reportProblem_(problem->consoleLine, problem->logLine);
    }
}

bool SqliteDefaultsStore::isPersistent() {
    const std::lock_guard lock(mutex_);
    return persistent_;
}

void SqliteDefaultsStore::setString(const std::string& key, const std::string& value) {
    store(key, value);
}

void SqliteDefaultsStore::removeObject(const std::string& key) {
    store(key, std::nullopt);
}

// A value (or, for nothing, a removal) goes to memory, where it overrides the file, and to the
// writer, which takes it out of memory once it is on disk.
void SqliteDefaultsStore::store(const std::string& key, std::optional<std::string> value) {
    const Clock::time_point deadline = Clock::now() + callerPatience;
    std::optional<Problem> problem;
    {
        std::unique_lock lock(mutex_);
        const bool removed = !value.has_value();
        const std::uint64_t number = writable_ ? ++requested_ : 0;
        // The listing shows a new value once setString returns, as it did when the value
        // appeared with its write: the caller counts on that to register a stamp in flight.
        memory_[key] = MemoryValue{std::move(value), true, removed, false, number, number == 0};
        if (number == 0) {
            return;
        }
        changed_.notify_all();
        // Once the writer is stuck, the callers after need not wait for it one after another.
        if (!delayed_ && !changed_.wait_until(lock, deadline, [&] { return settled_ >= number; })) {
            delayed_ = true;
            problem = problemOnce("write delayed", "未送信の打刻の保存が遅れています:",
                                  "not on disk within " + std::to_string(callerPatience.count()) +
                                      " ms; kept in memory until it is");
        }
        if (const auto entry = memory_.find(key);
            entry != memory_.end() && entry->second.change == number) {
            entry->second.listed = true;
        }
    }
    report(problem);
}

// The writer thread: each time, everything this run has changed and the file has not taken yet,
// in one transaction. What fails waits for the next change.
void SqliteDefaultsStore::writeChanges() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || requested_ > settled_; });
        if (requested_ == settled_) {
            return; // the store is ending and has nothing left to write
        }
        const std::uint64_t upTo = requested_;
        std::vector<std::pair<std::string, std::optional<std::string>>> changes;
        for (const auto& [key, value] : memory_) {
            if (!value.fromFile) {
                changes.emplace_back(key, value.removed ? std::nullopt : value.text);
            }
        }
        lock.unlock();
        const bool written = write(changes);
        lock.lock();
        if (written) {
            std::erase_if(memory_, [upTo](const auto& entry) {
                return !entry.second.fromFile && entry.second.change <= upTo;
            });
        }
        writable_ = database_ != nullptr || retryOpen_;
        persistent_ = database_ != nullptr;
        settled_ = upTo;
        delayed_ = false;
        changed_.notify_all();
    }
}

bool SqliteDefaultsStore::write(
    const std::vector<std::pair<std::string, std::optional<std::string>>>& changes) {
    if (database_ == nullptr) {
        open(); // its problem, if any, was reported when the store first failed to open
        if (database_ == nullptr) {
            return false;
        }
        // What this run changed goes to the file; what was only read from it stays there.
        const std::lock_guard lock(mutex_);
        std::erase_if(memory_, [](const auto& entry) { return entry.second.fromFile; });
    }
    if (firstText("BEGIN IMMEDIATE") &&
        std::all_of(changes.begin(), changes.end(),
                    [this](const auto& change) { return writeRow(change.first, change.second); }) &&
        firstText("COMMIT")) {
        return true;
    }
    const std::string reason = errorOf(database_);
    firstText("ROLLBACK");
    report(problemOnce("write failed", "未送信の打刻を保存先に書き込めませんでした:", reason));
    return false;
}

bool SqliteDefaultsStore::writeRow(const std::string& key,
                                   const std::optional<std::string>& value) {
    if (value) {
        return bindText(insert_, 1, key) && bindText(insert_, 2, *value) &&
               runToCompletion(insert_);
    }
    return bindText(remove_, 1, key) && runToCompletion(remove_);
}

// A lock another program holds: the writer waits while the store lasts, since no caller waits
// for it; at the ends, within lockPatienceAtEnds.
int SqliteDefaultsStore::waitForWriter(void* store, int /*attempts*/) {
    const auto* self = static_cast<const SqliteDefaultsStore*>(store);
    if (Clock::now().time_since_epoch().count() >= self->writerPatience_.load()) {
        return 0;
    }
    std::this_thread::sleep_for(lockRetryPause);
    return 1;
}

// A reader waits within its caller's patience; readDeadline_ is the reading caller's.
int SqliteDefaultsStore::waitForReader(void* store, int /*attempts*/) {
    const auto* self = static_cast<const SqliteDefaultsStore*>(store);
    if (Clock::now() >= self->readDeadline_) {
        return 0;
    }
    std::this_thread::sleep_for(lockRetryPause);
    return 1;
}

std::optional<std::string> SqliteDefaultsStore::stringForKey(const std::string& key) {
    const Clock::time_point deadline = Clock::now() + callerPatience;
    {
        const std::lock_guard lock(mutex_);
        if (const auto kept = memory_.find(key); kept != memory_.end()) {
            return kept->second.removed ? std::nullopt : kept->second.text;
        }
    }
    std::optional<Problem> problem;
    std::optional<std::string> text;
    {
        const std::unique_lock read(readMutex_, deadline);
        if (!read.owns_lock()) {
            problem = readFailed("busy");
        } else if (reader_ != nullptr) {
            readDeadline_ = deadline;
            int result = SQLITE_ERROR;
            if (bindText(select_, 1, key)) {
                result = sqlite3_step(select_);
                if (result == SQLITE_ROW) {
                    text = textOfColumn(select_, 0);
                }
            }
            if (result != SQLITE_ROW && result != SQLITE_DONE) {
                problem = readFailed(errorOf(reader_));
            }
            sqlite3_reset(select_);
            sqlite3_clear_bindings(select_);
        }
    }
    report(problem);
    return text;
}

std::vector<std::pair<std::string, StoredValue>> SqliteDefaultsStore::dictionaryRepresentation() {
    const Clock::time_point deadline = Clock::now() + callerPatience;
    std::map<std::string, MemoryValue> kept;
    {
        // Taken before the file is read: a change the writer puts in the file meanwhile is then
        // found in one or the other.
        const std::lock_guard lock(mutex_);
        std::copy_if(memory_.begin(), memory_.end(), std::inserter(kept, kept.end()),
                     [](const auto& entry) { return entry.second.listed; });
    }
    std::optional<Problem> problem;
    std::vector<std::pair<std::string, StoredValue>> entries;
    {
        const std::unique_lock read(readMutex_, deadline);
        if (!read.owns_lock()) {
            problem = readFailed("busy");
        } else if (reader_ != nullptr) {
            readDeadline_ = deadline;
            int result = SQLITE_ROW;
            while ((result = sqlite3_step(selectAll_)) == SQLITE_ROW) {
                std::string key = columnBytes(selectAll_, 0);
                if (kept.count(key) == 0) {
                    // Only text is handed out as text; anything else is listed, never rewritten.
                    std::optional<std::string> text;
                    if (sqlite3_column_type(selectAll_, 1) == SQLITE_TEXT) {
                        text = columnBytes(selectAll_, 1);
                    }
                    entries.emplace_back(std::move(key), StoredValue{std::move(text)});
                }
            }
            if (result != SQLITE_DONE) {
                problem = readFailed(errorOf(reader_));
            }
            sqlite3_reset(selectAll_);
        }
    }
    for (const auto& [key, value] : kept) {
        if (!value.removed) {
            entries.emplace_back(key, StoredValue{value.isText ? value.text : std::nullopt});
        }
    }
    report(problem);
    return entries;
}

} // namespace talverin
