#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace talverin::testing {

// One ordered account of everything the core did through its platform: console lines, log lines,
// requests, alerts, termination calls. Log lines are taken from the real daily log files whenever
// another entry is recorded, so the order between the log and everything else is the true one.
class Journal {
public:
    explicit Journal(std::filesystem::path logFolder);

    void record(const std::string& entry);
    // Everything so far, log lines as "log: <message>" without their timestamp.
    const std::vector<std::string>& entries();
    // Only the entries that start with prefix, with the prefix removed.
    std::vector<std::string> entriesStartingWith(const std::string& prefix);
    void clear();

private:
    void takeNewLogLines();

    std::filesystem::path logFolder_;
    std::size_t logLinesTaken_ = 0;
    std::vector<std::string> entries_;
};

} // namespace talverin::testing
