#pragma once

#include <QStringList>

#include <algorithm>

#include <string>
#include <vector>

namespace talverin::testing {

inline const std::string arrivalPath = "/api/osx/v1/stamp/arrival";
inline const std::string leavingPath = "/api/osx/v1/stamp/leaving";
inline const QString arrivalAccepted = QStringLiteral("開始時の打刻");
inline const QString leavingAccepted = QStringLiteral("終了時の打刻");
inline const QString agentTitle = QStringLiteral("TALVERIN Timestamp");

// "20261207055103" from "開始時の打刻_20261207055103".
std::string timeOf(const std::string& key);
// The key of the first "setUnset: KEY" line whose key starts with label, or "".
std::string keyOf(const QStringList& consoleLines, const QString& label, int occurrence = 0);

// The log lines a start writes when the service accepts its arrival stamp.
std::vector<std::string> startLogMessages(const std::string& origin, const std::string& tim,
                                          const std::string& answer);
// "MacOS: 6.1.0": this machine's kernel release as the agent reports it.
std::string operatingSystemLine();

// True when wanted appear in lines in this order (not necessarily next to each other). Lines
// written by two threads keep only each thread's own order, so tests state each causal chain.
template <typename Sequence> bool containsInOrder(const Sequence& lines, const Sequence& wanted) {
    auto next = lines.begin();
    for (const auto& item : wanted) {
        next = std::find(next, lines.end(), item);
        if (next == lines.end()) {
            return false;
        }
        ++next;
    }
    return true;
}

} // namespace talverin::testing
