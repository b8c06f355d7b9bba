#include "AgentTestBed.h"

#include <QTest>

#include <gmock/gmock.h>

#include <csignal>

namespace talverin::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
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

    std::vector<ServiceRequest> requestsTo(const std::string& path) {
        std::vector<ServiceRequest> matching;
        for (const auto& request :
             bed.service->requests().value_or(std::vector<ServiceRequest>{})) {
            if (request.path == path) {
                matching.push_back(request);
            }
        }
        return matching;
    }

    bool waitForRequests(const std::string& path, std::size_t count, int timeoutMs = 20000) {
        return QTest::qWaitFor([&] { return requestsTo(path).size() >= count; }, timeoutMs);
    }

    // Started, and its first arrival stamp accepted.
    std::unique_ptr<AgentProcess> startedAgent() {
        auto agent = bed.startAgent();
        EXPECT_TRUE(agent->waitForLine(arrivalAccepted)) << agent->errorText().toStdString();
        // The success line is written on the delivery thread just after that console line.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const auto log = bed.logMessages();
                return std::any_of(log.begin(), log.end(), [](const std::string& line) {
                    return line.starts_with("開始時の打刻に成功しました:");
                });
            },
            20000));
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

TEST_F(AgentProcessTest, StartsStampsTheArrivalAndReportsInOrder) {
    auto agent = startedAgent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return agent->outputLines().size() >= 6; }, 20000));
    const QStringList lines = agent->outputLines();
    EXPECT_EQ(lines[0], QStringLiteral("call 開始時の打刻"));
    EXPECT_THAT(lines[1].toStdString(), MatchesRegex("setUnset: 開始時の打刻_[0-9]{14}"));
    EXPECT_EQ(lines[2].toStdString(), bed.service->origin() + "/api/osx/v1/");
    EXPECT_EQ(lines[3], arrivalAccepted);
    EXPECT_EQ(lines[4].toStdString(), "removeUnsent: " + lines[1].mid(10).toStdString());

    const auto arrivals = requestsTo(arrivalPath);
    ASSERT_THAT(arrivals, SizeIs(1));
    EXPECT_EQ(arrivals[0].method, "POST");
    EXPECT_EQ(arrivals[0].query, "tim=" + timeOf(lines[1].toStdString()));
    EXPECT_THAT(arrivals[0].headerValues("X-OSX-NUMBER"), ElementsAre("C02TESTSERIAL"));
    EXPECT_EQ(arrivals[0].body, "");

    const auto log = bed.logMessages();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[0], "自動起動の設定：true");
    EXPECT_THAT(log[1], MatchesRegex("MacOS: [0-9]+\\.[0-9]+\\.[0-9]+"));
    EXPECT_EQ(log[2], "Version: 1.0.1");
    EXPECT_EQ(log[3], "TimeZone: Asia/Tokyo / IsDaylightSaving: false");
    EXPECT_EQ(log[4],
              "Arrival Endpoint: " + bed.service->origin() + arrivalPath + "?" + arrivals[0].query);
    EXPECT_THAT(log[5], StartsWith("開始時の打刻に成功しました:"));
    EXPECT_TRUE(std::filesystem::exists(bed.autostartEntry()));
    EXPECT_THAT(bed.records(), IsEmpty());

    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);
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

TEST_F(AgentProcessTest, ScreenLockAndUnlockStampOncePerTransition) {
    auto agent = startedAgent();
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {true}));
    ASSERT_TRUE(waitForRequests(leavingPath, 1));
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {true}));
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {false}));
    ASSERT_TRUE(waitForRequests(arrivalPath, 2));
    QTest::qWait(300);
    EXPECT_THAT(requestsTo(leavingPath), SizeIs(1));
    EXPECT_THAT(requestsTo(arrivalPath), SizeIs(2));
}

TEST_F(AgentProcessTest, AStampInterruptedBySigkillIsResentWithItsTimeAfterRestart) {
    ASSERT_TRUE(bed.service->silence(arrivalPath, 1));
    auto first = bed.startAgent();
    ASSERT_TRUE(waitForRequests(arrivalPath, 1));
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
    const auto arrivals = requestsTo(arrivalPath);
    ASSERT_THAT(arrivals, SizeIs(3));
    EXPECT_EQ(arrivals[2].query, "tim=" + timeOf(key));
    EXPECT_NE(arrivals[1].query, arrivals[2].query);
    EXPECT_THAT(bed.logMessages(), Contains("printUnsent： " + key + " / " + timeOf(key)));
    EXPECT_THAT(bed.records(), IsEmpty());
}

TEST_F(AgentProcessTest, StampsMadeWhileTheServiceIsDownArriveAfterRecovery) {
    const std::uint16_t port = bed.service->port();
    bed.service->stop();
    auto agent = bed.startAgent();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto log = bed.logMessages();
            return std::any_of(log.begin(), log.end(), [](const std::string& line) {
                return line.starts_with("サーバに接続ができなかったため、開始時の打刻を実行でき"
                                        "ませんでした:Optional(ConnectionRefusedError");
            });
        },
        20000));
    const auto kept = bed.records();
    ASSERT_THAT(kept, SizeIs(1));

    // The service comes back where it was; the next fresh arrival brings the old one along.
    bed.service = std::make_unique<StampServiceProcess>(StampServiceProcess::Options{
        bed.certificates.serverCertificate(), bed.certificates.serverKey(), {}, "127.0.0.1", port});
    ASSERT_TRUE(bed.service->isRunning()) << bed.service->errorText();
    QTest::qWait(1100);
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {true}));
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("SetLockedHint"), {false}));
    ASSERT_TRUE(agent->waitForLine(QString::fromStdString("removeUnsent: " + kept.begin()->first)));
    const auto arrivals = requestsTo(arrivalPath);
    ASSERT_THAT(arrivals, SizeIs(2));
    EXPECT_EQ(arrivals[1].query, "tim=" + timeOf(kept.begin()->first));
    EXPECT_NE(arrivals[0].query, arrivals[1].query);
    EXPECT_THAT(bed.records(), IsEmpty());
}

TEST_F(AgentProcessTest, RefusalsAreLoggedAndKeepTheirRecordsAndQuitStillEnds) {
    ASSERT_TRUE(bed.service->answer(arrivalPath, 201, "created"));
    ASSERT_TRUE(bed.service->answer(leavingPath, 500, "サーバーエラー"));
    auto agent = bed.startAgent();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto log = bed.logMessages();
            return std::find(log.begin(), log.end(), "開始時の打刻に失敗しました:created") !=
                   log.end();
        },
        20000));
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
    ASSERT_TRUE(waitForRequests(leavingPath, 1));
    EXPECT_TRUE(agent->isRunning());
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_EQ(agent->exitCode(), 0);
    const QStringList lines = agent->outputLines();
    const auto accepted = lines.indexOf(leavingAccepted);
    const auto willTerminate =
        lines.indexOf(QStringLiteral("applicationWillTerminate.lockTerminate: true"));
    ASSERT_GE(accepted, 0);
    EXPECT_GT(willTerminate, accepted);
    EXPECT_THAT(bed.records(), IsEmpty());
    EXPECT_THAT(bed.logMessages(), Contains("終了時の打刻に成功しました:bye"));
}

TEST_F(AgentProcessTest, ASecondSigtermEndsAtOnceAndTheRecordWaitsForTheNextRun) {
    ASSERT_TRUE(bed.service->silence(leavingPath, 1));
    auto agent = startedAgent();
    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(waitForRequests(leavingPath, 1));
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
    EXPECT_EQ(requestsTo(leavingPath).back().query, "tim=" + timeOf(kept.begin()->first));
}

TEST_F(AgentProcessTest, PowerOffSendsOneLeavingStampUnderTheDelayInhibitor) {
    ASSERT_TRUE(bed.service->silence(leavingPath, 1));
    auto agent = startedAgent();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !bed.inhibitors().empty(); }, 10000));
    EXPECT_EQ(bed.inhibitors().front(),
              std::make_tuple(std::string("shutdown"), std::string("delay"), true));

    ASSERT_TRUE(bed.controlLogind(QStringLiteral("EmitPrepareForShutdown"), {true}));
    ASSERT_TRUE(agent->waitForLine(QStringLiteral("powerOff")));
    ASSERT_TRUE(waitForRequests(leavingPath, 1));
    // The service never answers: the inhibitor still lets the power-off go ahead.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !std::get<2>(bed.inhibitors().front()); }, 10000));

    agent->sendSignal(SIGTERM);
    ASSERT_TRUE(agent->waitForExit(5000));
    EXPECT_THAT(agent->outputLines(),
                Contains(QStringLiteral("applicationShouldTerminate.lockTerminate: true")));
    EXPECT_THAT(requestsTo(leavingPath), SizeIs(1));
    EXPECT_THAT(bed.records(), SizeIs(1));
}

TEST_F(AgentProcessTest, PowerOffAloneEndsTheAgentWhenTheLeavingAnswerArrives) {
    auto agent = startedAgent();
    ASSERT_TRUE(bed.controlLogind(QStringLiteral("EmitPrepareForShutdown"), {true}));
    ASSERT_TRUE(agent->waitForExit());
    EXPECT_THAT(agent->outputLines(), Contains(leavingAccepted));
    EXPECT_THAT(requestsTo(leavingPath), SizeIs(1));
    EXPECT_THAT(bed.records(), IsEmpty());
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
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto log = bed.logMessages();
            return std::any_of(log.begin(), log.end(), [](const std::string& line) {
                return line.starts_with(
                    "サーバに接続ができなかったため、開始時の打刻を実行できませんでした:");
            });
        },
        20000));
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

TEST_F(AgentProcessTest, TwoLaunchAtLoginTogglesComeBackToTheFirstState) {
    auto agent = startedAgent();
    ASSERT_TRUE(std::filesystem::exists(bed.autostartEntry()));
    ASSERT_TRUE(bed.callAgent(QStringLiteral("automaticLaunchManual")));
    ASSERT_TRUE(agent->waitForStderrContaining(QStringLiteral("alert: 自動起動の設定：false")));
    EXPECT_FALSE(std::filesystem::exists(bed.autostartEntry()));
    ASSERT_TRUE(bed.callAgent(QStringLiteral("automaticLaunchManual")));
    ASSERT_TRUE(agent->waitForStderrContaining(QStringLiteral("alert: 自動起動の設定：true")));
    EXPECT_TRUE(std::filesystem::exists(bed.autostartEntry()));
    const auto log = bed.logMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "自動起動の設定：false"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "自動起動の設定：true"), 2);
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
    EXPECT_THAT(requestsTo(arrivalPath), SizeIs(1));
    EXPECT_TRUE(first->isRunning());
}

} // namespace
} // namespace talverin::testing
