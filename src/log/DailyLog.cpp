#include "log/DailyLog.h"

#include "log/Utf8.h"
#include "platform/Clock.h"
#include "records/DateFormat.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace talverin {

namespace {

// A message may carry text from outside (an answer, a stored key): a line feed in it would start
// a line of its own that looks like the agent's, so every control character is written escaped.
std::string escapeControls(const std::string& message) {
    std::string escaped;
    escaped.reserve(message.size());
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else {
            const char* const hex = "0123456789abcdef";
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 0x0F];
        }
    }
    return escaped;
}

} // namespace

DailyLog::DailyLog(const Clock& clock, std::function<std::string()> homeDirectory)
    : clock_(clock), homeDirectory_(std::move(homeDirectory)) {}

void DailyLog::write(const std::string& message) const {
    // One reading of the clock names the file and stamps the line, so a line always lies in the
    // file of its own day.
    const Instant now = clock_.now();
    // Working hours are nobody else's business: the folders and the files are the user's alone,
    // from the moment they are made, whatever the umask.
    const std::string home = homeDirectory_();
    std::error_code ignored;
    std::filesystem::create_directories(home, ignored);
    const std::string folder = home + "/Library/Logs";
    ::mkdir((home + "/Library").c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    // An older version may have left them open to others: private before the line goes in.
    ::chmod(folder.c_str(), 0700);

    const std::string file =
        folder + "/talverin-timestamp-" + formatDate("yyyy-MM-dd", now) + ".log";
    const std::string line =
        formatDate("yyyy/MM/dd HH:mm:ss", now) + " - " + escapeControls(message) + "\n";
    if (!isValidUtf8(line)) {
        return;
    }
    ::chmod(file.c_str(), 0600);
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return;
    }
    // A single append-mode write: lines from several threads never tear or interleave.
    [[maybe_unused]] const ssize_t written = ::write(descriptor, line.data(), line.size());
    ::close(descriptor);
}

} // namespace talverin
