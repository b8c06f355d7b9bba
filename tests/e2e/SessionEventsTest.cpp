#include "DesktopAgentTest.h"

#include <gmock/gmock.h>

#include <QTest>
#include <QTimeZone>

#include <csignal>

namespace talverin::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAreArray;

// What the desktop session does to the agent: the screen locks and unlocks, reported by logind
// and by the screensavers, the session ends with SIGTERM, the machine powers off.
class SessionEventsTest : public DesktopAgentTest {
protected:
    SessionEventsTest() : DesktopAgentTest({.trayHost = true, .statusNotifierWatcher = false}) {}

    bool lockedHint(bool locked) {
        return bed.agent.controlLogind(QStringLiteral("SetLockedHint"), {locked});
    }

    bool screenSaver(const char* name, bool active) {
        const QString service = QString::fromLatin1(name);
        QString path = u'/' + service;
        path.replace(u'.', u'/');
        return bed.emitScreenSaverActiveChanged(service, path, active);
    }

    std::vector<std::string> requestedPaths() {
        std::vector<std::string> paths;
        for (const auto& request :
             bed.agent.service->requests().value_or(std::vector<ServiceRequest>{})) {
            paths.push_back(request.path);
        }
        return paths;
    }

    // An accepted arrival scans the store for unsent records on the delivery thread, just after
    // the removal the console shows, and sends again every record it finds, one still in flight
    // included. A lock handled on the main thread before that scan reads the store would have its
    // fresh leaving stamp sent twice, rightly: the scan prints nothing to wait for, so the test
    // gives it time instead.
    static void letTheResendScanRun() { QTest::qWait(500); }

    // What a failure shows: each request with the connection it came on, the agent's log and its
    // console.
    std::string whatHappened(AgentProcess& agent) {
        std::string text = "requests:\n";
        for (const auto& request :
             bed.agent.service->requests().value_or(std::vector<ServiceRequest>{})) {
            text += request.received + " " + request.target + " on connection " +
                    std::to_string(request.connection) + "\n";
        }
        text += "log:\n";
        for (const std::string& line : bed.agent.logMessages()) {
            text += line + "\n";
        }
        return text + "console:\n" + agent.outputLines().join(u'\n').toStdString();
    }

    // The log lines of one stamp sent and accepted.
    std::vector<std::string> stampLog(const std::string& path, const std::string& key) {
        const bool arrival = path == arrivalPath;
        return {(arrival ? "Arrival Endpoint: " : "Leaving Endpoint: ") + origin() + path +
                    "?tim=" + timeOf(key),
                arrival ? "開始時の打刻に成功しました:" + morning
                        : "終了時の打刻に成功しました:" + evening};
    }
};

TEST_F(SessionEventsTest,
       EachLockAndUnlockStampsOnceWhicheverSourcesReportItThenSigtermEndsTheDay) {
    auto agent = startedAgent();
    const auto arrivalKey = [&](int n) { return keyOf(agent->outputLines(), arrivalAccepted, n); };
    const auto leavingKey = [&](int n) { return keyOf(agent->outputLines(), leavingAccepted, n); };

    // GNOME's screensaver locks; logind then says the same: one leaving stamp. logind unlocks.
    ASSERT_TRUE(screenSaver("org.gnome.ScreenSaver", true));
    ASSERT_TRUE(bed.agent.waitForRequests(leavingPath, 1));
    // Settled before the next unlock: an arrival's resend scan would rightly send a leaving
    // stamp still in flight once more.
    ASSERT_TRUE(waitUntil([&] { return bed.agent.records().empty(); }));
    ASSERT_TRUE(lockedHint(true));
    ASSERT_TRUE(lockedHint(false));
    ASSERT_TRUE(bed.agent.waitForRequests(arrivalPath, 2));
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString("removeUnsent: " + arrivalKey(1))));
    letTheResendScanRun();

    // logind locks; the freedesktop screensaver repeats it; Xfce's unlocks, logind agrees.
    ASSERT_TRUE(lockedHint(true));
    ASSERT_TRUE(bed.agent.waitForRequests(leavingPath, 2));
    ASSERT_TRUE(waitUntil([&] { return bed.agent.records().empty(); }));
    ASSERT_TRUE(screenSaver("org.freedesktop.ScreenSaver", true));
    ASSERT_TRUE(screenSaver("org.xfce.ScreenSaver", false));
    ASSERT_TRUE(bed.agent.waitForRequests(arrivalPath, 3));
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString("removeUnsent: " + arrivalKey(2))));
    letTheResendScanRun();
    ASSERT_TRUE(lockedHint(false));

    // The session ends while the about box is open: the leaving stamp still goes, then the end.
    ASSERT_TRUE(bed.agent.callAgent(QStringLiteral("about")));
    ASSERT_TRUE(theOnlyDialog());
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit(30000)) << agent->outputLines().join(u'\n').toStdString();
    EXPECT_EQ(agent->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return !bed.tray->agentIcon(); }));

    EXPECT_THAT(requestedPaths(), ElementsAre(arrivalPath, leavingPath, arrivalPath, leavingPath,
                                              arrivalPath, leavingPath))
        << whatHappened(*agent);
    const auto arrivals = bed.agent.requestsTo(arrivalPath);
    const auto leavings = bed.agent.requestsTo(leavingPath);
    ASSERT_THAT(arrivals, SizeIs(3));
    ASSERT_THAT(leavings, SizeIs(3));
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(arrivals[std::size_t(n)].query, "tim=" + timeOf(arrivalKey(n)));
        EXPECT_EQ(leavings[std::size_t(n)].query, "tim=" + timeOf(leavingKey(n)));
    }
    EXPECT_THAT(bed.agent.records(), IsEmpty());
    EXPECT_THAT(agent->outputLines(),
                Contains(QStringLiteral("applicationWillTerminate.lockTerminate: true")));

    ASSERT_EQ(bed.logProblem(), "");
    std::vector<std::string> expected = startLogMessages(origin(), timeOf(arrivalKey(0)), morning);
    for (int n = 0; n < 2; ++n) {
        for (const auto& line : stampLog(leavingPath, leavingKey(n))) {
            expected.push_back(line);
        }
        for (const auto& line : stampLog(arrivalPath, arrivalKey(n + 1))) {
            expected.push_back(line);
        }
    }
    expected.push_back(stampLog(leavingPath, leavingKey(2))[0]);
    const std::vector<std::string> quitTail{"終了時の打刻: " + leavingKey(2),
                                            stampLog(leavingPath, leavingKey(2))[1]};
    const auto messages = bed.agent.logMessages();
    ASSERT_EQ(messages.size(), expected.size() + 2) << ::testing::PrintToString(messages);
    EXPECT_THAT(std::vector<std::string>(messages.begin(), messages.end() - 2),
                ElementsAreArray(expected));
    // Written by two threads: either order.
    EXPECT_THAT(std::vector<std::string>(messages.end() - 2, messages.end()),
                UnorderedElementsAreArray(quitTail));
}

TEST_F(SessionEventsTest, PowerOffWithTheStampDoneBoxOpenSendsTheLeavingStampAndEnds) {
    auto agent = startedAgent();
    ASSERT_TRUE(waitUntil([&] { return !bed.agent.inhibitors().empty(); }));
    ASSERT_TRUE(bed.agent.callAgent(QStringLiteral("arriveNow")));
    ASSERT_TRUE(theOnlyDialog());

    ASSERT_TRUE(bed.agent.controlLogind(QStringLiteral("EmitPrepareForShutdown"), {true}));
    ASSERT_TRUE(agent->waitForExit(30000)) << agent->outputLines().join(u'\n').toStdString();
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return !bed.tray->agentIcon(); }));

    const QStringList lines = agent->outputLines();
    const std::string leavingKey = keyOf(lines, leavingAccepted);
    EXPECT_TRUE(containsInOrder(
        lines, QStringList{QStringLiteral("powerOff"), QStringLiteral("call 終了時の打刻"),
                           QStringLiteral("setUnset: ") + QString::fromStdString(leavingKey),
                           leavingAccepted,
                           QStringLiteral("removeUnsent: ") + QString::fromStdString(leavingKey),
                           QStringLiteral("applicationShouldTerminate.lockTerminate: true"),
                           QStringLiteral("applicationWillTerminate.lockTerminate: true")}))
        << lines.join(u'\n').toStdString();
    ASSERT_THAT(bed.agent.requestsTo(leavingPath), SizeIs(1));
    EXPECT_EQ(bed.agent.requestsTo(leavingPath)[0].query, "tim=" + timeOf(leavingKey));
    EXPECT_THAT(bed.agent.records(), IsEmpty());
    // The shutdown inhibitor went with the agent.
    for (const auto& [what, mode, held] : bed.agent.inhibitors()) {
        EXPECT_FALSE(held) << what << " " << mode;
    }
    const auto messages = bed.agent.logMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_THAT(std::vector<std::string>(messages.end() - 2, messages.end()),
                ElementsAreArray(stampLog(leavingPath, leavingKey)));
}

TEST_F(SessionEventsTest, AStartWhileTheServiceIsDownIsSentWithItsTimeAfterTheNextUnlock) {
    // Every attempt is cut off, so the start's arrival stays on disk; the icon shows regardless.
    ASSERT_TRUE(bed.agent.service->reset(arrivalPath));
    auto agent = bed.startAgent();
    const std::string failurePrefix =
        "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:Optional(";
    ASSERT_TRUE(bed.agent.waitForLogLineStartingWith(failurePrefix));
    ASSERT_TRUE(bed.tray->waitForAgentIcon());
    const std::string keptKey = keyOf(agent->outputLines(), arrivalAccepted);
    ASSERT_THAT(bed.agent.records(), ElementsAre(std::pair(keptKey, timeOf(keptKey))));
    ASSERT_TRUE(bed.agent.service->clearBehaviours());
    ASSERT_TRUE(answerBothStamps());
    const std::size_t attempts = bed.agent.requestsTo(arrivalPath).size();
    // Records are keyed by the second: the next stamp must not share the kept one's.
    ASSERT_TRUE(waitUntil([&] {
        return QDateTime::currentDateTime()
                   .toTimeZone(QTimeZone("Asia/Tokyo"))
                   .toString(QStringLiteral("yyyyMMddHHmmss"))
                   .toStdString() != timeOf(keptKey);
    }));

    // The service is back. The screen locks and unlocks: the fresh arrival is accepted, then the
    // one from the start goes with its own time.
    ASSERT_TRUE(screenSaver("org.gnome.ScreenSaver", true));
    ASSERT_TRUE(bed.agent.waitForRequests(leavingPath, 1));
    ASSERT_TRUE(screenSaver("org.gnome.ScreenSaver", false));
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString("removeUnsent: " + keptKey)));
    const auto arrivals = bed.agent.requestsTo(arrivalPath);
    ASSERT_THAT(arrivals, SizeIs(attempts + 2));
    EXPECT_EQ(arrivals[attempts].query,
              "tim=" + timeOf(keyOf(agent->outputLines(), arrivalAccepted, 1)));
    EXPECT_EQ(arrivals[attempts + 1].query, "tim=" + timeOf(keptKey));
    EXPECT_TRUE(waitUntil([&] { return bed.agent.records().empty(); }));

    ASSERT_EQ(bed.logProblem(), "");
    const auto messages = bed.agent.logMessages();
    EXPECT_THAT(messages, Contains("printUnsent： " + keptKey + " / " + timeOf(keptKey)));
    EXPECT_TRUE(containsInOrder(
        messages,
        std::vector<std::string>{
            "Arrival Endpoint: " + origin() + arrivalPath + "?tim=" + timeOf(keptKey),
            stampLog(leavingPath, keyOf(agent->outputLines(), leavingAccepted))[1],
            "開始時の打刻に成功しました:" + morning,
            "printUnsent： " + keptKey + " / " + timeOf(keptKey),
            "Arrival Endpoint: " + origin() + arrivalPath + "?tim=" + timeOf(keptKey),
            "開始時の打刻に成功しました:" + morning}))
        << ::testing::PrintToString(messages);
}

// A machine without a serial number: the agent says so in a box and ends once it is closed.
class NoSerialNumberTest : public DesktopAgentTest {
protected:
    NoSerialNumberTest() : DesktopAgentTest({.trayHost = true, .statusNotifierWatcher = false}) {}
};

TEST_F(NoSerialNumberTest, TheAlertIsShownAndClosingItEndsTheAgent) {
    auto agent = bed.startAgentWithoutSerial();
    const auto alert = theOnlyDialog();
    ASSERT_TRUE(alert) << agent->errorText().toStdString();
    EXPECT_TRUE(agent->isRunning());
    dismiss(alert);
    ASSERT_TRUE(agent->waitForExit(30000));
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_THAT(agent->outputLines(),
                ElementsAre(QStringLiteral("applicationShouldTerminate.lockTerminate: false"),
                            QStringLiteral("applicationWillTerminate.lockTerminate: false")));
    // The box was on the screen, not on standard error.
    EXPECT_THAT(agent->errorText().toStdString(), IsEmpty());
    ASSERT_EQ(bed.logProblem(), "");
    const auto log = bed.agent.logMessages();
    EXPECT_THAT(log, ElementsAre("自動起動の設定：true"));
    EXPECT_THAT(bed.agent.service->requests().value(), IsEmpty());
    EXPECT_THAT(bed.agent.records(), IsEmpty());
    EXPECT_TRUE(std::filesystem::exists(bed.agent.autostartEntry()));
}

} // namespace
} // namespace talverin::testing
