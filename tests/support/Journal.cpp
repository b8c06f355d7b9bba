#include "Journal.h"

#include <algorithm>
#include <fstream>

namespace talverin::testing {

Journal::Journal(std::filesystem::path logFolder) : logFolder_(std::move(logFolder)) {}

void Journal::record(const std::string& entry) {
    takeNewLogLines();
    entries_.push_back(entry);
}

const std::vector<std::string>& Journal::entries() {
    takeNewLogLines();
    return entries_;
}

std::vector<std::string> Journal::entriesStartingWith(const std::string& prefix) {
    std::vector<std::string> selected;
    for (const auto& entry : entries()) {
        if (entry.starts_with(prefix)) {
            selected.push_back(entry.substr(prefix.size()));
        }
    }
    return selected;
}

void Journal::clear() {
    takeNewLogLines();
    entries_.clear();
}

void Journal::takeNewLogLines() {
    std::error_code error;
    if (!std::filesystem::is_directory(logFolder_, error)) {
        return;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& item : std::filesystem::directory_iterator(logFolder_, error)) {
        if (item.is_regular_file()) {
            files.push_back(item.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
    }
    // "yyyy/MM/dd HH:mm:ss - " is 22 bytes.
    for (; logLinesTaken_ < lines.size(); ++logLinesTaken_) {
        const auto& line = lines[logLinesTaken_];
        entries_.push_back("log: " + (line.size() >= 22 ? line.substr(22) : line));
    }
}

} // namespace talverin::testing
