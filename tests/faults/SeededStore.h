#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace talverin::testing {

// Writes a store file before the agent starts, laid out as the agent keeps it (table defaults,
// write-ahead log), as earlier runs or other programs would have left it.
class SeededStore {
public:
    explicit SeededStore(std::filesystem::path file);

    // Text values under their keys, in one transaction. False when the file refused.
    bool addText(const std::vector<std::pair<std::string, std::string>>& records);
    // Any statement, for values that are not text. False when it failed.
    bool execute(const std::string& sql);

private:
    std::filesystem::path file_;
};

} // namespace talverin::testing
