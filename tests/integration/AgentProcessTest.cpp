#include "AgentTestBed.h"

#include <QTest>

#include <gmock/gmock.h>

#include <csignal>

namespace talverin::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

const std::string arrivalPath = "/api/osx/v1/stamp/arrival";
const std::string leavingPath = "/api/osx/v1/stamp/leaving";
const QString arrivalAccepted = QStringLiteral("開始時の打刻");
const QString leavingAccepted = QStringLiteral("終了時の打刻");

// The agent started against a private desktop and service; every test ends it by its pid.
class AgentProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bed.problem(), ""); }

    // Started, and its first arrival stamp accepted.
    std::unique_ptr<AgentProcess> startedAgent() {
        auto agent = bed.startAgent();
        EXPECT_TRUE(agent->waitForLine(arrivalAccepted)) << agent->errorText().toStdString();
        // The success line is written on the delivery thread just after that console line.
        EXPECT_TRUE(bed.waitForLogLineStartingWith("開始時の打刻に成功しました:"));
        return agent;
    }

    static std::string timeOf(const std::string& key) { return key.substr(key.rfind('_') + 1); }

    AgentTestBed bed;
};

TEST_F(AgentProcessTest, AnOriginThatIsNotHttpsStopsTheAgentBeforeAnything) {
    QProcessEnvironment environment = bed.environment();
    environment.insert(QStringLiteral("TALVERIN_SERVICE_ORIGIN"),
                       QStringLiteral("http://talverin.example"));
    auto agent = bed.startAgent(environment);
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 2);
    EXPECT_THAT(agent->errorText().trimmed().split(u'\n'), SizeIs(1));
    EXPECT_TRUE(agent->errorText().contains(QStringLiteral("TALVERIN_SERVICE_ORIGIN")));
    EXPECT_THAT(agent->outputLines(), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(bed.home / "Library"));
    EXPECT_FALSE(std::filesystem::exists(bed.autostartEntry()));
    EXPECT_FALSE(std::filesystem::exists(bed.storeFile()));
}

TEST_F(AgentProcessTest, WithoutASerialNumberTheAlertShowsAndTheAgentEnds) {
    QProcessEnvironment environment = bed.environment();
    environment.remove(QStringLiteral("TALVERIN_SERIAL_FILE"));
    // No display of any kind: the agent goes headless by itself and the alert goes to stderr.
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    auto agent = bed.startAgent(environment, /*hideHardwareSerial=*/true);
    ASSERT_TRUE(agent->waitForExit()) << agent->errorText().toStdString();
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_TRUE(agent->errorText().contains(
        QStringLiteral("alert: エラー / PCのシリアル番号が取得できませんでした")))
        << agent->errorText().toStdString();
    EXPECT_THAT(bed.logMessages(), ElementsAre("自動起動の設定：true"));
    EXPECT_THAT(agent->outputLines(),
                ElementsAre(QStringLiteral("applicationShouldTerminate.lockTerminate: false"),
                            QStringLiteral("applicationWillTerminate.lockTerminate: false")));
    EXPECT_THAT(bed.service->requests().value(), IsEmpty());
    EXPECT_THAT(bed.records(), IsEmpty());
}

TEST_F(AgentProcessTest, AStampInterruptedBySigkillIsResentWithItsTimeAfterRestart) {
    ASSERT_TRUE(bed.service->silence(arrivalPath, 1));
    auto first = bed.startAgent();
    ASSERT_TRUE(bed.waitForRequests(arrivalPath, 1));
    first->sendSignal(SIGKILL);
    ASSERT_TRUE(first->waitForExit());
    const auto kept = bed.records();
    ASSERT_THAT(kept, SizeIs(1));
    const std::string key = kept.begin()->first;

    // The restart's own arrival is accepted and the interrupted one follows with its old time.
    QTest::qWait(1100);
    auto second = bed.startAgent();
    ASSERT_TRUE(second->waitForLine(QString::fromStdString("removeUnsent: " + key)))
        << second->outputLines().join(u'\n').toStdString();
    const auto arrivals = bed.requestsTo(arrivalPath);
    ASSERT_THAT(arrivals, SizeIs(3));
    EXPECT_EQ(arrivals[2].query, "tim=" + timeOf(key));
    EXPECT_NE(arrivals[1].query, arrivals[2].query);
    EXPECT_THAT(bed.logMessages(), Contains("printUnsent： " + key + " / " + timeOf(key)));
    EXPECT_THAT(bed.records(), IsEmpty());
}

TEST_F(AgentProcessTest, RefusalsAreLoggedAndKeepTheirRecordsAndQuitStillEnds) {
    ASSERT_TRUE(bed.service->answer(arrivalPath, 201, "created"));
    ASSERT_TRUE(bed.service->answer(leavingPath, 500, "サーバーエラー"));
    auto agent = bed.startAgent();
    ASSERT_TRUE(bed.waitForLogLineStartingWith("開始時の打刻に失敗しました:created"));
    ASSERT_TRUE(bed.callAgent(QStringLiteral("quit")));
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_THAT(bed.logMessages(), Contains("終了時の打刻に失敗しました:サーバーエラー"));
    const auto kept = bed.records();
    ASSERT_THAT(kept, SizeIs(2));
    EXPECT_THAT(kept.begin()->first, StartsWith("終了時の打刻_"));
    EXPECT_THAT(std::next(kept.begin())->first, StartsWith("開始時の打刻_"));
}

TEST_F(AgentProcessTest, SigtermWaitsForTheLeavingAnswerThenEnds) {
    ASSERT_TRUE(bed.service->setBehaviour("{\"path\":\"" + leavingPath +
                                          "\",\"action\":\"answer\",\"status\":200,"
                                          "\"body\":\"bye\",\"delayMs\":2000}"));
    auto agent = startedAgent();
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(bed.waitForRequests(leavingPath, 1));
    EXPECT_TRUE(agent->isRunning());
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);
    const QStringList lines = agent->outputLines();
    const auto accepted = lines.indexOf(leavingAccepted);
    const auto willTerminate =
        lines.indexOf(QStringLiteral("applicationWillTerminate.lockTerminate: true"));
    ASSERT_GE(accepted, 0);
    EXPECT_GT(willTerminate, accepted);
    EXPECT_EQ(lines.count(QStringLiteral("applicationWillTerminate.lockTerminate: true")), 1);
    EXPECT_THAT(bed.records(), IsEmpty());
    EXPECT_THAT(bed.logMessages(), Contains("終了時の打刻に成功しました:bye"));
}

TEST_F(AgentProcessTest, ASecondSigtermEndsAtOnceAndTheRecordWaitsForTheNextRun) {
    ASSERT_TRUE(bed.service->silence(leavingPath, 1));
    auto agent = startedAgent();
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(bed.waitForRequests(leavingPath, 1));
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit(5000));
    EXPECT_EQ(agent->exitCode(), 0);
    EXPECT_THAT(agent->outputLines(),
                Contains(QStringLiteral("applicationShouldTerminate.lockTerminate: true")));
    const auto kept = bed.records();
    ASSERT_THAT(kept, SizeIs(1));
    EXPECT_THAT(kept.begin()->first, StartsWith("終了時の打刻_"));

    auto next = bed.startAgent();
    ASSERT_TRUE(next->waitForLine(QString::fromStdString("removeUnsent: " + kept.begin()->first)));
    EXPECT_EQ(bed.requestsTo(leavingPath).back().query, "tim=" + timeOf(kept.begin()->first));
}

TEST_F(AgentProcessTest, PowerOffSendsOneLeavingStampUnderTheDelayInhibitor) {
    ASSERT_TRUE(bed.service->silence(leavingPath, 1));
    auto agent = startedAgent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !bed.inhibitors().empty(); }, 10000));
    EXPECT_EQ(bed.inhibitors().front(),
              std::make_tuple(std::string("shutdown"), std::string("delay"), true));

    ASSERT_TRUE(bed.controlLogind(QStringLiteral("EmitPrepareForShutdown"), {true}));
    ASSERT_TRUE(agent->waitForLine(QStringLiteral("powerOff")));
    ASSERT_TRUE(bed.waitForRequests(leavingPath, 1));
    // The service never answers: the inhibitor still lets the power-off go ahead.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !std::get<2>(bed.inhibitors().front()); }, 10000));

    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit(5000));
    EXPECT_THAT(agent->outputLines(),
                Contains(QStringLiteral("applicationShouldTerminate.lockTerminate: true")));
    EXPECT_THAT(bed.requestsTo(leavingPath), SizeIs(1));
    EXPECT_THAT(bed.records(), SizeIs(1));
}

TEST_F(AgentProcessTest, ArriveNowAnnouncesOnlyAStampTheServiceAcceptedOnItsOwnRequest) {
    auto agent = startedAgent();
    const auto dialogs = [&] {
        return agent->errorText().count(QStringLiteral("alert: 打刻しました"));
    };
    ASSERT_TRUE(bed.callAgent(QStringLiteral("arriveNow")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs() == 1; }, 20000));

    QTest::qWait(1100);
    ASSERT_TRUE(bed.service->reset(arrivalPath));
    ASSERT_TRUE(bed.callAgent(QStringLiteral("arriveNow")));
    ASSERT_TRUE(bed.waitForLogLineStartingWith(
        "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:"));
    ASSERT_THAT(bed.records(), SizeIs(1));
    const std::string failedKey = bed.records().begin()->first;
    ASSERT_TRUE(bed.service->clearBehaviours());

    // A later fresh arrival resends the failed manual stamp, which shows nothing.
    QTest::qWait(1100);
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {true}));
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {false}));
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString("removeUnsent: " + failedKey)));
    QTest::qWait(300);
    EXPECT_EQ(dialogs(), 1);
}

TEST_F(AgentProcessTest, ASecondAgentSaysOneIsRunningAndLeavesEverythingAlone) {
    auto first = startedAgent();
    const auto logBefore = bed.logMessages();
    auto second = bed.startAgent();
    ASSERT_TRUE(second->waitForExit());
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_THAT(second->outputLines(),
                ElementsAre(QStringLiteral("TALVERIN Timestamp is already running.")));
    EXPECT_EQ(bed.logMessages(), logBefore);
    EXPECT_THAT(bed.requestsTo(arrivalPath), SizeIs(1));
    EXPECT_TRUE(first->isRunning());
}

} // namespace
} // namespace talverin::testing
