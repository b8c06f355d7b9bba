#include "platform/linux/SqliteDefaultsStore.h"

#include "platform/linux/HomeFolder.h"

#include <sqlite3.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talverin {

namespace {

// Below the 4 s for which a power-off or a sleep is held back for the leaving stamp.
constexpr int busyTimeoutMilliseconds = 3000;

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
    : file_(std::move(file)), reportProblem_(std::move(reportProblem)) {
    report(open());
}

SqliteDefaultsStore::~SqliteDefaultsStore() {
    closeDatabase();
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
    if (const int opened = connect(); opened != SQLITE_OK) {
        const std::string reason =
            database_ != nullptr ? databaseError() : std::string(sqlite3_errstr(opened));
        closeDatabase();
        retryOpen_ = true;
        return problemOnce("unavailable", "未送信の打刻の保存先を開けませんでした:", reason);
    }
    if (!isSound() && (!sharedMemoryFailed() || !leaveWal() || !isSound())) {
        const std::string reason = databaseError();
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
    if (!journaled || !firstText("PRAGMA synchronous=FULL") ||
        !firstText("CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value)") ||
        !prepareStatements()) {
        const std::string reason = databaseError();
        keepRowsInMemory();
        retryOpen_ = true;
        return problemOnce("unavailable", "未送信の打刻の保存先を開けませんでした:", reason);
    }
    return std::nullopt;
}

int SqliteDefaultsStore::connect() {
    const int opened = sqlite3_open_v2(file_.c_str(), &database_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (opened == SQLITE_OK) {
        sqlite3_extended_result_codes(database_, 1);
        sqlite3_busy_timeout(database_, busyTimeoutMilliseconds);
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
    return connect() == SQLITE_OK && firstText("PRAGMA locking_mode=EXCLUSIVE") &&
           firstText("PRAGMA journal_mode=DELETE") == "delete" &&
           firstText("PRAGMA locking_mode=NORMAL");
}

// A store made by an older version, or by hand, may be readable by other accounts: it is made
// private before SQLite reads it or makes its -wal and -shm files with its modes.
void SqliteDefaultsStore::makePrivate() const {
    ::chmod(file_.parent_path().c_str(), 0700);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        ::chmod((file_.string() + suffix).c_str(), 0600);
    }
}

// Called before a write: the store that could not be opened may open now, and then takes what
// was kept in memory meanwhile.
void SqliteDefaultsStore::reopenIfWorthIt() {
    if (database_ != nullptr || !retryOpen_) {
        return;
    }
    std::map<std::string, MemoryValue> kept = std::move(memory_);
    memory_.clear();
    open(); // its problem, if any, was reported when the store first failed to open
    if (database_ == nullptr) {
        memory_ = std::move(kept);
        return;
    }
    // What this run stored or removed goes to the file; what was only read from it stays there.
    for (auto& [key, value] : kept) {
        if (!value.fromFile) {
            memory_[key] = std::move(value);
        }
    }
    flushMemory();
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

bool SqliteDefaultsStore::prepareStatements() {
    const auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(database_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement,
                                  nullptr) == SQLITE_OK;
    };
    return prepare("INSERT INTO defaults(key, value) VALUES(?1, ?2) "
                   "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
                   &insert_) &&
           prepare("SELECT value FROM defaults WHERE key = ?1", &select_) &&
           prepare("DELETE FROM defaults WHERE key = ?1", &remove_) &&
           prepare("SELECT key, value FROM defaults", &selectAll_);
}

// Takes what a readable file holds into memory and lets go of the file.
void SqliteDefaultsStore::keepRowsInMemory() {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, "SELECT key, value FROM defaults", -1, &statement, nullptr) ==
        SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            memory_[columnBytes(statement, 0)] =
                MemoryValue{textOfColumn(statement, 1),
                            sqlite3_column_type(statement, 1) == SQLITE_TEXT, false, true};
        }
    }
    sqlite3_finalize(statement);
    closeDatabase();
}

void SqliteDefaultsStore::closeDatabase() {
    for (sqlite3_stmt** statement : {&insert_, &select_, &remove_, &selectAll_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    sqlite3_close_v2(database_);
    database_ = nullptr;
}

std::string SqliteDefaultsStore::databaseError() const {
    std::string reason = sqlite3_errmsg(database_);
    if (const int systemError = sqlite3_system_errno(database_); systemError != 0) {
        reason += " (";
        reason += std::strerror(systemError);
        reason += ")";
    }
    return reason;
}

std::optional<SqliteDefaultsStore::Problem>
SqliteDefaultsStore::problemOnce(const std::string& what, const std::string& logPrefix,
                                 const std::string& reason) {
    if (reported_) {
        return std::nullopt;
    }
    reported_ = true;
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
    return database_ != nullptr;
}

void SqliteDefaultsStore::setString(const std::string& key, const std::string& value) {
    std::optional<Problem> problem;
    {
        const std::lock_guard lock(mutex_);
        problem = store(key, value);
    }
    report(problem);
}

void SqliteDefaultsStore::removeObject(const std::string& key) {
    std::optional<Problem> problem;
    {
        const std::lock_guard lock(mutex_);
        problem = store(key, std::nullopt);
    }
    report(problem);
}

// A value (or, for nothing, a removal) goes to the file; what the file refuses stays in memory,
// where it overrides the file for the rest of the run.
std::optional<SqliteDefaultsStore::Problem>
SqliteDefaultsStore::store(const std::string& key, std::optional<std::string> value) {
    reopenIfWorthIt();
    if (database_ == nullptr) {
        // A removal is kept too: the file may still hold the record once it opens again.
        const bool removed = !value.has_value();
        memory_[key] = MemoryValue{std::move(value), true, removed};
        return std::nullopt;
    }
    if (writeRow(key, value)) {
        memory_.erase(key);
        flushMemory();
        return std::nullopt;
    }
    const std::string reason = databaseError();
    const bool removed = !value.has_value();
    memory_[key] = MemoryValue{std::move(value), true, removed};
    return problemOnce("write failed", "未送信の打刻を保存先に書き込めませんでした:", reason);
}

bool SqliteDefaultsStore::writeRow(const std::string& key,
                                   const std::optional<std::string>& value) {
    if (value) {
        return bindText(insert_, 1, key) && bindText(insert_, 2, *value) &&
               runToCompletion(insert_);
    }
    return bindText(remove_, 1, key) && runToCompletion(remove_);
}

// After a failed write the file is given what it missed as soon as it takes writes again.
void SqliteDefaultsStore::flushMemory() {
    for (auto entry = memory_.begin(); entry != memory_.end();) {
        const std::optional<std::string> value =
            entry->second.removed ? std::nullopt : entry->second.text;
        if (!writeRow(entry->first, value)) {
            return;
        }
        entry = memory_.erase(entry);
    }
}

std::optional<std::string> SqliteDefaultsStore::stringForKey(const std::string& key) {
    std::optional<Problem> problem;
    std::optional<std::string> text;
    {
        const std::lock_guard lock(mutex_);
        if (const auto kept = memory_.find(key); kept != memory_.end()) {
            return kept->second.removed ? std::nullopt : kept->second.text;
        }
        if (database_ == nullptr) {
            return std::nullopt;
        }
        int result = SQLITE_ERROR;
        if (bindText(select_, 1, key)) {
            result = sqlite3_step(select_);
            if (result == SQLITE_ROW) {
                text = textOfColumn(select_, 0);
            }
        }
        if (result != SQLITE_ROW && result != SQLITE_DONE) {
            problem = problemOnce("read failed",
                                  "未送信の打刻を保存先から読み込めませんでした:", databaseError());
        }
        sqlite3_reset(select_);
        sqlite3_clear_bindings(select_);
    }
    report(problem);
    return text;
}

std::vector<std::pair<std::string, StoredValue>> SqliteDefaultsStore::dictionaryRepresentation() {
    std::optional<Problem> problem;
    std::vector<std::pair<std::string, StoredValue>> entries;
    {
        const std::lock_guard lock(mutex_);
        if (database_ != nullptr) {
            int result = SQLITE_ROW;
            while ((result = sqlite3_step(selectAll_)) == SQLITE_ROW) {
                std::string key = columnBytes(selectAll_, 0);
                if (memory_.count(key) == 0) {
                    // Only text is handed out as text; anything else is listed, never rewritten.
                    std::optional<std::string> text;
                    if (sqlite3_column_type(selectAll_, 1) == SQLITE_TEXT) {
                        text = columnBytes(selectAll_, 1);
                    }
                    entries.emplace_back(std::move(key), StoredValue{std::move(text)});
                }
            }
            if (result != SQLITE_DONE) {
                problem =
                    problemOnce("read failed",
                                "未送信の打刻を保存先から読み込めませんでした:", databaseError());
            }
            sqlite3_reset(selectAll_);
        }
        for (const auto& [key, kept] : memory_) {
            if (!kept.removed) {
                entries.emplace_back(key, StoredValue{kept.isText ? kept.text : std::nullopt});
            }
        }
    }
    report(problem);
    return entries;
}

} // namespace talverin
