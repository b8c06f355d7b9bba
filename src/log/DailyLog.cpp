#include "log/DailyLog.h"

#include "log/Utf8.h"
#include "platform/Clock.h"
#include "records/DateFormat.h"

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace talverin {

DailyLog::DailyLog(const Clock& clock, std::function<std::string()> homeDirectory)
    : clock_(clock), homeDirectory_(std::move(homeDirectory)) {}

void DailyLog::write(const std::string& message) const {
    // One reading of the clock names the file and stamps the line, so a line always lies in the
    // file of its own day.
    const Instant now = clock_.now();
    const std::string folder = homeDirectory_() + "/Library/Logs";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    const std::string file =
        folder + "/talverin-timestamp-" + formatDate("yyyy-MM-dd", now) + ".log";
    const std::string line = formatDate("yyyy/MM/dd HH:mm:ss", now) + " - " + message + "\n";
    if (!isValidUtf8(line)) {
        return;
    }
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        return;
    }
    // A single append-mode write: lines from several threads never tear or interleave.
    [[maybe_unused]] const ssize_t written = ::write(descriptor, line.data(), line.size());
    ::close(descriptor);
}

} // namespace talverin
