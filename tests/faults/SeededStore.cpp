#include "SeededStore.h"

#include <sqlite3.h>

#include <memory>

namespace talverin::testing {

namespace {

struct DatabaseCloser {
    void operator()(sqlite3* database) const { sqlite3_close(database); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

Database openStore(const std::filesystem::path& file) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open(file.c_str(), &raw);
    Database database(raw);
    if (opened != SQLITE_OK ||
        sqlite3_exec(database.get(),
                     "PRAGMA journal_mode=WAL;"
                     "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY, value)",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        return nullptr;
    }
    return database;
}

} // namespace

SeededStore::SeededStore(std::filesystem::path file) : file_(std::move(file)) {
    std::filesystem::create_directories(file_.parent_path());
}

bool SeededStore::addText(const std::vector<std::pair<std::string, std::string>>& records) {
    const Database database = openStore(file_);
    if (!database ||
        sqlite3_exec(database.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_stmt* insert = nullptr;
    if (sqlite3_prepare_v2(database.get(), "INSERT OR REPLACE INTO defaults VALUES(?1, ?2)", -1,
                           &insert, nullptr) != SQLITE_OK) {
        return false;
    }
    bool stored = true;
    for (const auto& [key, value] : records) {
        sqlite3_bind_text(insert, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        stored = stored && sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    return sqlite3_exec(database.get(), stored ? "COMMIT" : "ROLLBACK", nullptr, nullptr,
                        nullptr) == SQLITE_OK &&
           stored;
}

bool SeededStore::execute(const std::string& sql) {
    const Database database = openStore(file_);
    return database &&
           sqlite3_exec(database.get(), sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace talverin::testing
