#include "FaultTestBed.h"

#include <QElapsedTimer>
#include <QTest>

#include <gmock/gmock.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <random>

namespace talverin::testing {
namespace {

using ::testing::IsEmpty;

constexpr int killsWanted = 100;
const QString setUnsetPrefix = QStringLiteral("setUnset: ");

std::uint64_t campaignSeed() {
    if (const char* given = std::getenv("TALVERIN_FAULT_SEED"); given != nullptr && *given) {
        return std::strtoull(given, nullptr, 10);
    }
    return std::random_device{}();
}

// The service's behaviour on one path for one run of the agent: mostly slow acceptance, so that
// kills fall while answers are on their way, and now and then each way of failing.
std::string serviceMood(const std::string& path, std::mt19937_64& random) {
    const auto roll = std::uniform_int_distribution<int>(0, 99)(random);
    const std::string start = "{\"path\":\"" + path + "\",";
    if (roll < 55) {
        const auto delay = std::uniform_int_distribution<int>(0, 300)(random);
        return start + "\"action\":\"answer\",\"delayMs\":" + std::to_string(delay) + "}";
    }
    if (roll < 70) {
        return start + "\"action\":\"answer\",\"status\":500,\"body\":\"busy\"}";
    }
    if (roll < 80) {
        return start + "\"action\":\"reset\"}";
    }
    if (roll < 90) {
        return start + "\"action\":\"reset\",\"body\":\"{\\\"result\\\":\\\"ok\\\"}\"," +
               "\"afterBytes\":40}";
    }
    return start + "\"action\":\"silence\"}";
}

// What the campaign knows about the records: every key seen in the store or accepted by the
// service, and every check that failed, with the run it failed in.
class RecordLedger {
public:
    explicit RecordLedger(FaultTestBed& bed) : bed_(bed) {}

    // After a run has ended: the store and the service's log at this moment, and the keys that
    // run printed as stored ("setUnset: KEY"), in order. A key is stored once its console line
    // is out, unless the run was killed between that line and the write, which only the last
    // such line of a killed run can have met.
    void observe(int run, const QStringList& output, bool killed) {
        const auto store = bed_.records();
        const auto received = bed_.requests();
        const auto accepted = [&](const std::string& key) {
            return std::any_of(received.begin(), received.end(), [&](const ServiceRequest& r) {
                const auto paths = pathsOfKey(key);
                return std::find(paths.begin(), paths.end(), r.path) != paths.end() &&
                       r.query == "tim=" + timeOfKey(key) && isAcceptance(r);
            });
        };
        std::vector<std::string> printed;
        for (const QString& line : output) {
            if (line.startsWith(setUnsetPrefix)) {
                printed.push_back(line.mid(setUnsetPrefix.size()).toStdString());
            }
        }
        for (std::size_t index = 0; index < printed.size(); ++index) {
            const std::string& key = printed[index];
            if (store.count(key) != 0 || accepted(key)) {
                known_.insert(key);
            } else if (killed && index + 1 == printed.size()) {
                ++unwrittenAtKill_;
            } else {
                failures_.push_back("run " + std::to_string(run) + ": " + key +
                                    " was printed as stored but is neither in the store nor "
                                    "accepted by the service");
            }
        }
        for (const std::string& key : known_) {
            if (store.count(key) == 0 && !accepted(key)) {
                failures_.push_back("run " + std::to_string(run) + ": the record " + key +
                                    " disappeared without the service accepting it");
            }
        }
        for (const auto& [key, value] : store) {
            known_.insert(key);
            if (value != timeOfKey(key)) {
                failures_.push_back("run " + std::to_string(run) + ": " + key + " holds " + value);
            }
        }
    }

    const std::set<std::string>& known() const { return known_; }
    const std::vector<std::string>& failures() const { return failures_; }
    int unwrittenAtKill() const { return unwrittenAtKill_; }

private:
    FaultTestBed& bed_;
    std::set<std::string> known_;
    std::vector<std::string> failures_;
    int unwrittenAtKill_ = 0;
};

TEST(ProcessKillTest, AHundredKillsAmidLocksUnlocksAndQuitsLoseNoStoredStamp) {
    FaultTestBed bed;
    ASSERT_EQ(bed.problem(), "");
    const std::uint64_t seed = campaignSeed();
    std::cout << "[ seed     ] TALVERIN_FAULT_SEED=" << seed << std::endl;
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 random(seed);
    const auto between = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };

    RecordLedger ledger(bed);
    // How long this build of the agent takes to its first stamp (a tenth of a second for a
    // release build, several times that under a sanitizer): the kills are spread around it.
    int firstStampMs = 0;
    {
        auto agent = bed.startAgent();
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(agent->waitForLineContaining(setUnsetPrefix));
        firstStampMs = static_cast<int>(clock.elapsed());
        agent->sendSignal(SIGTERM);
        ASSERT_TRUE(agent->waitForExit());
        ledger.observe(-1, agent->outputLines(), false);
    }
    std::cout << "[ campaign ] first stamp after " << firstStampMs << " ms" << std::endl;

    int kills = 0;
    int quits = 0;
    for (int run = 0; kills < killsWanted && run < 3 * killsWanted; ++run) {
        ASSERT_TRUE(bed.service->clearBehaviours());
        ASSERT_TRUE(bed.service->setBehaviour(serviceMood(arrivalPath, random)));
        ASSERT_TRUE(bed.service->setBehaviour(serviceMood(leavingPath, random)));
        ASSERT_TRUE(bed.waitUntilNoAgentIsRunning()) << "run " << run;

        auto agent = bed.startAgent();
        QElapsedTimer clock;
        clock.start();
        // Now and then before its first stamp, mostly while it stamps and waits for answers.
        const int killAt = between(firstStampMs / 2, firstStampMs + 700);
        bool quitAsked = false;
        while (agent->isRunning() && clock.elapsed() < killAt) {
            QTest::qWait(std::min(between(5, 80), std::max(1, killAt - int(clock.elapsed()))));
            const int event = between(0, 99);
            if (event < 45) {
                bed.lockScreen();
            } else if (event < 90) {
                bed.unlockScreen();
            } else if (!quitAsked) {
                agent->sendSignal(SIGTERM);
                quitAsked = true;
            }
        }
        if (agent->isRunning()) {
            agent->sendSignal(SIGKILL);
        }
        ASSERT_TRUE(agent->waitForExit()) << "run " << run;
        const bool killed = agent->exitStatus() == QProcess::CrashExit;
        kills += killed ? 1 : 0;
        quits += killed ? 0 : 1;
        ledger.observe(run, agent->outputLines(), killed);
    }
    ASSERT_EQ(kills, killsWanted);

    // The fault is over: the service answers, and the next fresh arrival brings everything.
    ASSERT_TRUE(bed.service->clearBehaviours());
    ASSERT_TRUE(bed.waitUntilNoAgentIsRunning());
    waitForTheNextSecond();
    ASSERT_TRUE(bed.unlockScreen());
    auto last = bed.startAcceptedAgent();
    EXPECT_TRUE(bed.waitForRecordCount(0, 120000)) << bed.records().size() << " records left";
    last->sendSignal(SIGTERM);
    ASSERT_TRUE(last->waitForExit());
    EXPECT_EQ(last->exitCode(), 0);
    ledger.observe(-1, last->outputLines(), false);

    std::cout << "[ campaign ] " << kills << " kills, " << quits << " quits, "
              << ledger.known().size() << " stored stamps, " << ledger.unwrittenAtKill()
              << " killed between the console line and the write" << std::endl;
    EXPECT_THAT(ledger.failures(), IsEmpty()) << "seed " << seed;
    EXPECT_THAT(bed.records(), IsEmpty());
    EXPECT_THAT(bed.stampsNeverAccepted(ledger.known()), IsEmpty()) << "seed " << seed;
    // A campaign in which the agent stored next to nothing would prove nothing. (Keys name their
    // second, so a campaign of a minute has at most two a second to store.)
    EXPECT_GT(ledger.known().size(), static_cast<std::size_t>(killsWanted / 4));
}

} // namespace
} // namespace talverin::testing
