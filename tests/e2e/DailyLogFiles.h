#pragma once

#include <QDateTime>

#include <filesystem>
#include <string>
#include <vector>

namespace talverin::testing {

// One line of the agent's daily log, as the bytes on disk hold it.
struct DailyLogLine {
    std::string fileDate; // yyyy-MM-dd from the file's name
    std::string stamp;    // "yyyy/MM/dd HH:mm:ss"
    std::string message;  // what follows " - "
};

// Every daily log file in HOME/Library/Logs, read byte for byte and checked for form: each file is
// named talverin-timestamp-yyyy-MM-dd.log, every line is "yyyy/MM/dd HH:mm:ss - message" and
// ends in a bare LF, each line's date is its file's date, and the times are the time-zone's wall
// clock between from and to and never go back.
class DailyLogFiles {
public:
    DailyLogFiles(const std::filesystem::path& home, const QDateTime& from, const QDateTime& to,
                  const QByteArray& timeZone);

    // Empty when everything is in form; otherwise the first fault found.
    const std::string& problem() const { return problem_; }
    const std::vector<DailyLogLine>& lines() const { return lines_; }
    std::vector<std::string> messages() const;

private:
    std::vector<DailyLogLine> lines_;
    std::string problem_;
};

} // namespace talverin::testing
