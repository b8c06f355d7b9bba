#include "DesktopAgentTest.h"
#include "Screenshots.h"

#include <QCoreApplication>

#include <gmock/gmock.h>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

// The session-bus commands as a script or an administrator uses them, with the message boxes
// they open on a real display.
class DesktopCommandsTest : public DesktopAgentTest {
protected:
    DesktopCommandsTest() : DesktopAgentTest({.trayHost = true, .statusNotifierWatcher = false}) {}

    bool call(const char* method, const QVariantList& arguments = {}) {
        return bed.agent.callAgent(QString::fromLatin1(method), arguments);
    }
};

TEST_F(DesktopCommandsTest, EveryCommandDoesItsWorkAndOnlyAcceptedManualStampsAreAnnounced) {
    auto agent = startedAgent();
    // What the agent printed so far: its pipe is read when events are served.
    const auto lines = [&] {
        QCoreApplication::processEvents();
        return agent->outputLines();
    };

    ASSERT_TRUE(call("about"));
    dismiss(theOnlyDialog());

    ASSERT_TRUE(call("toSite"));
    ASSERT_TRUE(waitUntil([&] { return !bed.openedUrls().empty(); }));
    EXPECT_THAT(bed.openedUrls(), ElementsAre(origin()));

    // arriveNow: a fresh arrival, and once the service accepted it, the box.
    ASSERT_TRUE(call("arriveNow"));
    const auto arrived = theOnlyDialog();
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(keepScreenshot(bed.driver, arrived->frame, "stamp-done"));
    dismiss(arrived);
    ASSERT_THAT(bed.agent.requestsTo(arrivalPath), SizeIs(2));
    const std::string manualArrival = keyOf(lines(), arrivalAccepted, 1);
    EXPECT_EQ(bed.agent.requestsTo(arrivalPath)[1].query, "tim=" + timeOf(manualArrival));

    ASSERT_TRUE(call("leaveNow"));
    dismiss(theOnlyDialog());
    ASSERT_THAT(bed.agent.requestsTo(leavingPath), SizeIs(1));
    const std::string manualLeaving = keyOf(lines(), leavingAccepted, 0);
    EXPECT_EQ(bed.agent.requestsTo(leavingPath)[0].query, "tim=" + timeOf(manualLeaving));

    // Launch at login: the toggle says what it did; the plain setting keeps the state quietly.
    ASSERT_TRUE(call("automaticLaunchManual"));
    dismiss(theOnlyDialog());
    EXPECT_FALSE(std::filesystem::exists(bed.agent.autostartEntry()));
    ASSERT_TRUE(call("automaticLaunchWithManualSetting", {false}));
    ASSERT_TRUE(call("automaticLaunchManual"));
    dismiss(theOnlyDialog());
    EXPECT_TRUE(std::filesystem::exists(bed.agent.autostartEntry()));

    // A leaving stamp the service cannot take stays on disk and shows nothing; sent again by
    // leaveWithUnSentKey it keeps its time, and shows nothing either.
    ASSERT_TRUE(bed.agent.service->reset(leavingPath));
    ASSERT_TRUE(call("leaveNow"));
    const std::string failurePrefix =
        "サーバに接続ができなかったため、終了時の打刻を実行できませんでした:Optional(";
    ASSERT_TRUE(bed.agent.waitForLogLineStartingWith(failurePrefix));
    const auto kept = bed.agent.records();
    ASSERT_THAT(kept, SizeIs(1));
    const std::string keptKey = kept.begin()->first;
    EXPECT_EQ(keptKey, keyOf(lines(), leavingAccepted, 1));
    ASSERT_TRUE(bed.agent.service->clearBehaviours());
    ASSERT_TRUE(answerBothStamps());
    const std::size_t attempts = bed.agent.requestsTo(leavingPath).size();
    ASSERT_TRUE(call("leaveWithUnSentKey", {QString::fromStdString(keptKey)}));
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString("removeUnsent: " + keptKey)));
    EXPECT_EQ(bed.agent.requestsTo(leavingPath).back().query, "tim=" + timeOf(keptKey));
    // The console line comes just before the record goes.
    EXPECT_TRUE(waitUntil([&] { return bed.agent.records().empty(); }));
    // Had either stamp announced itself, its box would still be open beside this one.
    ASSERT_TRUE(call("about"));
    dismiss(theOnlyDialog());

    ASSERT_TRUE(call("quit"));
    ASSERT_TRUE(agent->waitForExit(30000));
    EXPECT_EQ(agent->exitCode(), 0);
    const std::string quitKey = keyOf(lines(), leavingAccepted, 2);
    ASSERT_NE(quitKey, "");
    EXPECT_THAT(bed.agent.requestsTo(leavingPath), SizeIs(attempts + 2));
    EXPECT_THAT(bed.agent.records(), IsEmpty());
    EXPECT_THAT(bed.openedUrls(), SizeIs(1));

    ASSERT_EQ(bed.logProblem(), "");
    std::vector<std::string> messages = bed.agent.logMessages();
    const std::string arrivalKey = keyOf(lines(), arrivalAccepted, 0);
    std::vector<std::string> expected = startLogMessages(origin(), timeOf(arrivalKey), morning);
    const std::string arrivalEndpoint = "Arrival Endpoint: " + origin() + arrivalPath + "?tim=";
    const std::string leavingEndpoint = "Leaving Endpoint: " + origin() + leavingPath + "?tim=";
    const std::vector<std::string> commands{
        arrivalEndpoint + timeOf(manualArrival),
        "開始時の打刻に成功しました:" + morning,
        leavingEndpoint + timeOf(manualLeaving),
        "終了時の打刻に成功しました:" + evening,
        "自動起動の設定：false",
        "自動起動の設定：false",
        "自動起動の設定：true",
        leavingEndpoint + timeOf(keptKey),
    };
    expected.insert(expected.end(), commands.begin(), commands.end());
    // The failure names the network error; the rest is fixed.
    ASSERT_GT(messages.size(), expected.size());
    EXPECT_THAT(messages[expected.size()], StartsWith(failurePrefix));
    EXPECT_EQ(messages[expected.size()].back(), ')');
    expected.push_back(messages[expected.size()]);
    expected.push_back(leavingEndpoint + timeOf(keptKey));
    expected.push_back("終了時の打刻に成功しました:" + evening);
    expected.push_back(leavingEndpoint + timeOf(quitKey));
    const std::vector<std::string> quitTail{"終了時の打刻: " + quitKey,
                                            "終了時の打刻に成功しました:" + evening};
    // Those two are written by two threads: either order.
    ASSERT_EQ(messages.size(), expected.size() + 2);
    EXPECT_THAT(std::vector<std::string>(messages.begin(), messages.end() - 2),
                ElementsAreArray(expected));
    EXPECT_THAT(std::vector<std::string>(messages.end() - 2, messages.end()),
                ::testing::UnorderedElementsAreArray(quitTail));
}

} // namespace
} // namespace talverin::testing
