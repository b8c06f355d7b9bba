#include "DailyLogFiles.h"

#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace talverin::testing {

DailyLogFiles::DailyLogFiles(const std::filesystem::path& home, const QDateTime& from,
                             const QDateTime& to, const QByteArray& timeZone) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(home / "Library" / "Logs", error)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        problem_ = "no daily log in " + (home / "Library" / "Logs").string();
        return;
    }
    static const QRegularExpression fileName(
        QStringLiteral("^talverin-timestamp-(\\d{4}-\\d{2}-\\d{2})\\.log$"));
    static const QRegularExpression lineForm(
        QStringLiteral("^(\\d{4})/(\\d{2})/(\\d{2}) (\\d{2}:\\d{2}:\\d{2}) - (.*)$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QTimeZone zone(timeZone);
    // Lines carry whole seconds.
    const QDateTime earliest = from.addMSecs(-from.time().msec());
    QDateTime previous = earliest;
    for (const auto& file : files) {
        const auto nameMatch = fileName.match(QString::fromStdString(file.filename().string()));
        if (!nameMatch.hasMatch()) {
            problem_ = "unexpected file " + file.string();
            return;
        }
        const std::string fileDate = nameMatch.captured(1).toStdString();
        std::ifstream in(file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        if (bytes.empty() || bytes.back() != '\n') {
            problem_ = file.string() + " does not end with a line feed";
            return;
        }
        std::size_t start = 0;
        while (start < bytes.size()) {
            const std::size_t end = bytes.find('\n', start);
            const std::string line = bytes.substr(start, end - start);
            start = end + 1;
            const auto match = lineForm.match(QString::fromStdString(line));
            if (!match.hasMatch() || line.find('\r') != std::string::npos) {
                problem_ = "a line out of form: " + line;
                return;
            }
            const std::string lineDate =
                (match.captured(1) + u'-' + match.captured(2) + u'-' + match.captured(3))
                    .toStdString();
            if (lineDate != fileDate) {
                problem_ = "a line of " + lineDate + " in the file of " + fileDate + ": " + line;
                return;
            }
            const QDateTime when(QDate::fromString(QString::fromStdString(lineDate), Qt::ISODate),
                                 QTime::fromString(match.captured(4), QStringLiteral("HH:mm:ss")),
                                 zone);
            if (!when.isValid() || when < previous || when > to) {
                problem_ = "a time outside the run or going back (" +
                           earliest.toTimeZone(zone).toString(Qt::ISODate).toStdString() + " .. " +
                           to.toTimeZone(zone).toString(Qt::ISODate).toStdString() + "): " + line;
                return;
            }
            previous = when;
            lines_.push_back(DailyLogLine{fileDate, line.substr(0, 19), line.substr(22)});
        }
    }
}

std::vector<std::string> DailyLogFiles::messages() const {
    std::vector<std::string> messages;
    for (const auto& line : lines_) {
        messages.push_back(line.message);
    }
    return messages;
}

} // namespace talverin::testing
