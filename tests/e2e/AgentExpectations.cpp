#include "AgentExpectations.h"

#include <QRegularExpression>

#include <sys/utsname.h>

namespace talverin::testing {

std::string timeOf(const std::string& key) {
    return key.substr(key.rfind('_') + 1);
}

std::string keyOf(const QStringList& consoleLines, const QString& label, int occurrence) {
    const QString prefix = QStringLiteral("setUnset: ") + label + u'_';
    for (const QString& line : consoleLines) {
        if (line.startsWith(prefix) && occurrence-- == 0) {
            return line.mid(10).toStdString();
        }
    }
    return {};
}

std::string operatingSystemLine() {
    utsname names{};
    ::uname(&names);
    static const QRegularExpression leadingNumbers(
        QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const auto match = leadingNumbers.match(QString::fromLatin1(names.release));
    const auto part = [&](int index) { return std::to_string(match.captured(index).toLong()); };
    return "MacOS: " + part(1) + "." + part(2) + "." + part(3);
}

std::vector<std::string> startLogMessages(const std::string& origin, const std::string& tim,
                                          const std::string& answer) {
    return {
        "自動起動の設定：true",
        operatingSystemLine(),
        "Version: 1.0.1",
        "TimeZone: Asia/Tokyo / IsDaylightSaving: false",
        "Arrival Endpoint: " + origin + arrivalPath + "?tim=" + tim,
        "開始時の打刻に成功しました:" + answer,
    };
}

} // namespace talverin::testing
