#pragma once

#include "AgentExpectations.h"
#include "DesktopTestBed.h"

#include <gmock/gmock.h>

#include <memory>
#include <string>

namespace talverin::testing {

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
