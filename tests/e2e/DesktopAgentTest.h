#pragma once

#include "DesktopTestBed.h"

#include <QRegularExpression>
#include <QStringList>

#include <gmock/gmock.h>

#include <sys/utsname.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace talverin::testing {

inline const std::string arrivalPath = "/api/osx/v1/stamp/arrival";
inline const std::string leavingPath = "/api/osx/v1/stamp/leaving";
inline const QString arrivalAccepted = QStringLiteral("開始時の打刻");
inline const QString leavingAccepted = QStringLiteral("終了時の打刻");
inline const QString agentTitle = QStringLiteral("TALVERIN Timestamp");

// "20261207055103" from "開始時の打刻_20261207055103".
inline std::string timeOf(const std::string& key) {
    return key.substr(key.rfind('_') + 1);
}

// The key of the occurrence-th "setUnset: KEY" line whose key starts with label, or "".
inline std::string keyOf(const QStringList& consoleLines, const QString& label,
                         int occurrence = 0) {
    const QString prefix = QStringLiteral("setUnset: ") + label + u'_';
    for (const QString& line : consoleLines) {
        if (line.startsWith(prefix) && occurrence-- == 0) {
            return line.mid(10).toStdString();
        }
    }
    return {};
}

// "MacOS: 6.1.0": this machine's kernel release as the agent reports it.
inline std::string operatingSystemLine() {
    utsname names{};
    ::uname(&names);
    static const QRegularExpression leadingNumbers(
        QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const auto match = leadingNumbers.match(QString::fromLatin1(names.release));
    const auto part = [&](int index) { return std::to_string(match.captured(index).toLong()); };
    return "MacOS: " + part(1) + "." + part(2) + "." + part(3);
}

// The log lines a start writes when the service accepts its arrival stamp.
inline std::vector<std::string> startLogMessages(const std::string& origin, const std::string& tim,
                                                 const std::string& answer) {
    return {"自動起動の設定：true",
            operatingSystemLine(),
            "Version: 1.0.1",
            "TimeZone: Asia/Tokyo / IsDaylightSaving: false",
            "Arrival Endpoint: " + origin + arrivalPath + "?tim=" + tim,
            "開始時の打刻に成功しました:" + answer};
}

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

// The agent on a desktop of the test's own. The service answers both stamps with a Japanese
// text, which must reach the console and the log intact.
class DesktopAgentTest : public ::testing::Test {
protected:
    static inline const std::string morning = "おはようございます";
    static inline const std::string evening = "お疲れさまでした";

    explicit DesktopAgentTest(DesktopTestBed::Options options) : bed(options) {}

    void SetUp() override {
        ASSERT_EQ(bed.problem(), "");
        ASSERT_TRUE(answerBothStamps());
    }

    // The service's standing answers (also after its behaviours were cleared).
    bool answerBothStamps() {
        return bed.agent.service->answer(arrivalPath, 200, morning) &&
               bed.agent.service->answer(leavingPath, 200, evening);
    }

    // Started, its arrival accepted and every line about it printed.
    std::unique_ptr<AgentProcess> startedAgent() {
        auto agent = bed.startAgent();
        EXPECT_TRUE(agent->waitForLine(QString::fromStdString(morning), 30000))
            << agent->errorText().toStdString();
        return agent;
    }

    std::string origin() const { return bed.agent.service->origin(); }

    // Waits for the agent's message box and checks it is the only one on the screen.
    std::optional<XWindow> theOnlyDialog() {
        auto dialog = bed.driver.waitForDialog();
        if (dialog) {
            int dialogs = 0;
            for (const XWindow& window : bed.driver.agentWindows()) {
                dialogs += window.isDialog() ? 1 : 0;
            }
            EXPECT_EQ(dialogs, 1) << "more than one message box is open";
            EXPECT_EQ(dialog->title, agentTitle);
        }
        return dialog;
    }

    // Closes a message box the way a user does: Return on its default button.
    void dismiss(const std::optional<XWindow>& dialog) {
        ASSERT_TRUE(dialog) << "no message box";
        ASSERT_TRUE(bed.driver.pressKey(*dialog, QStringLiteral("Return")));
        ASSERT_TRUE(bed.driver.waitUntilClosed(*dialog)) << "Return did not close the box";
    }

    DesktopTestBed bed;
};

} // namespace talverin::testing
