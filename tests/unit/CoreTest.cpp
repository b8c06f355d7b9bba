#include "FakePlatform.h"
#include "app/AppDelegate.h"
#include "log/DailyLog.h"

#include <gmock/gmock.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace talverin::testing {
namespace {

using namespace ::testing; // its matchers
using Strings = std::vector<std::string>;

const std::string origin = "https://talverin.example";
const std::string arrivalUrl = origin + "/api/osx/v1/stamp/arrival?tim=";
const std::string leavingUrl = origin + "/api/osx/v1/stamp/leaving?tim=";
const std::string arriving = "開始時の打刻", leaving = "終了時の打刻"; // the stamps' labels
const std::string lost = "サーバに接続ができなかったため、";
const TransferError error{"ConnectionRefusedError", 1, "Connection refused"};
const std::string errorText = "Optional(ConnectionRefusedError (code 1): Connection refused)";

TransferResult response(int status, const std::string& body = "ok") {
    return {body, HttpResponse{true, status}, std::nullopt};
}
std::string noUrl(const std::string& kind) { // the stamp's time follows
    return "サーバーに送信する打刻情報が取得できなかったため、" + kind + "を実行できませんでした:";
}

struct Agent : FakePlatform {
    explicit Agent(std::int64_t retries = 0, const char* timeZone = "Asia/Tokyo")
        : FakePlatform(timeZone), delegate(platform(), {origin, retries}) {
        runner = &delegate;
    }
    // Launched, its start-up arrival accepted: no records, nothing pending, an empty journal.
    Agent& running() {
        delegate.applicationDidFinishLaunching();
        answer(response(200));
        drainMainQueue();
        entries().clear();
        return *this;
    }
    Agent& at(const std::string& time) { return clock = localTime("2024-04-01 " + time), *this; }
    // Each step is an event or an answer, spelled out; "<step> at HH:MM:SS" sets the clock first.
    // Launching, running and manual stamps happen at 18:07:41 unless a time is given; answers go
    // to the oldest request not answered yet.
    void play(const Strings& steps) {
        // clang-format off
        const std::map<std::string, std::function<void()>> actions = {
            {"launch", [&] { delegate.applicationDidFinishLaunching(); }},
            {"run", [&] { running(); }}, {"quit", [&] { terminate(); }},
            {"power off", [&] { events.powerOff(true); }},
            {"power-off called off", [&] { events.powerOff(false); }},
            {"lock", [&] { events.screenLocked(true); }}, {"unlock", [&] { events.screenLocked(false); }},
            {"sleep", [&] { events.sleeping(true); }}, {"wake", [&] { events.sleeping(false); }},
            {"log out", [&] { events.sessionEnding(true); }},
            {"log-out called off", [&] { events.sessionEnding(false); }},
            {"network back", [&] { events.networkBack(); }},
            {"network down", [&] { networkReachable = false; }}, {"network unknown", [&] { networkReachable = {}; }},
            {"end abruptly", [&] { delegate.applicationEndsAbruptly(); }},
            {"resend an unknown leaving key", [&] { delegate.leaveWithUnSentKey(leaving + "_gone", [] {}); }},
            // A resend scan on the delivery thread may run while the main thread stores a stamp.
            {"scan as the next record is stored", [&] { afterStoring = [&] { delegate.printUnsent(); }; }},
            {"leave now", [&] { delegate.leaveNow(); }}, {"arrive now", [&] { delegate.arriveNow(); }},
            {"accept", [&] { answer(response(201, "done")); }},
            {"refuse", [&] { answer(response(500, "busy")); }},
            {"fail", [&] { failTransfer(); }}, {"drain", [&] { drainMainQueue(); }},
            {"launch-at-login command", [&] { delegate.automaticLaunchManual(); }},
            {"reapply the launch-at-login wish", [&] { delegate.automaticLaunchWithManualSetting(false); }},
            {"enable launch-at-login behind its back", [&] { launchAtLogin = true; }}};
        // clang-format on
        for (const std::string& step : steps) {
            if (step.starts_with("serial ") || step == "no serial") {
                serial = step == "no serial" ? std::nullopt : std::optional(step.substr(7));
                continue;
            }
            const std::size_t timed = step.find(" at ");
            at(timed == std::string::npos ? "18:07:41" : step.substr(timed + 4));
            actions.at(step.substr(0, timed))();
        }
    }
    // The journal told short, in its order: stamps sent ("leaving 18:00:00"), outcomes, holds let
    // go, scans for the network, the end; then the records left unsent ("unsent leaving …"), in
    // the store's order: the leaving ones first.
    Strings story() {
        const auto stampOf = [](const std::string& label, const std::string& tim) {
            const bool arrival = label.find("arrival") != std::string::npos || label == arriving;
            return (arrival ? "arrival " : "leaving ") + tim.substr(8, 2) + ":" +
                   tim.substr(10, 2) + ":" + tim.substr(12, 2);
        };
        // clang-format off
        const std::vector<std::pair<std::string, std::string>> told = {
            {"に成功しました", "accepted"}, {"に失敗しました", "refused"}, {lost, "failed"},
            {noUrl(leaving), "no time"}, {"シリアル番号が未取得", "no serial"},
            {"シリアル番号に使用できない文字", "unsafe serial"}, {"alert: PCのシリアル番号", "no serial alert"},
            {"ネットワークへの接続が回復", "network scan"}, {"released: ", ""}, {"ended", ""},
            {"ネットワークの状態を取得できないため、未送信の打刻は次の開始時の打刻の後に送信します", "network unknown"}};
        // clang-format on
        Strings story;
        for (const std::string& entry : entries()) {
            if (const std::size_t tim = entry.find("?tim="); entry.starts_with("request: "))
                story.push_back(stampOf(entry, entry.substr(tim + 5)));
            const auto said = std::ranges::find_if(told, [&](const auto& pair) {
                return entry.find(pair.first) != std::string::npos;
            });
            if (said != told.end())
                story.push_back(said->second.empty() ? entry : said->second);
        }
        for (const auto& [key, value] : store) {
            const std::size_t time = key.find('_') + 1;
            story.push_back("unsent " + stampOf(key.substr(0, time - 1), key.substr(time)));
        }
        return story;
    }
    Strings urls() { return entriesStartingWith("request: "); }
    AppDelegate delegate;
};

TEST(AgentTest, StartUpLogsItsSettingsStoresThenSendsOneArrivalAndPrintsTheApiBaseLast) {
    Agent agent;
    agent.store[leaving + "_20240331183005"] = "20240331183005"; // named in the tooltip
    agent.delegate.applicationDidFinishLaunching();
    const std::string url = arrivalUrl + "20240401083005"; // stored before it is sent: never lost
    EXPECT_THAT(agent.entries(),
                ElementsAre("log: 自動起動の設定：true", "log: MacOS: 14.10.3",
                            "log: Version: 2.0.3",
                            "log: TimeZone: Europe/Berlin / IsDaylightSaving: true",
                            "store: " + arriving + "_20240401083005",
                            "log: Arrival Endpoint: " + url, "request: " + url));
    EXPECT_EQ(agent.console.back(), origin + "/api/osx/v1/");
    EXPECT_EQ(agent.toolTip, "TALVERIN Timestamp\n未送信の打刻：1件");
    EXPECT_THAT(agent.requests.at(0).headers, ElementsAre(Pair("X-OSX-NUMBER", "C02TEST123")));
    EXPECT_EQ(agent.requests.at(0).timeoutSeconds, 60.0); // a silent service never holds a quit
}

// Steps (see play), launching at login before, a refusal to change it; then: the state in force
// logged, and alerted, each time.
TEST(AgentTest, LaunchAtLoginCommands) {
    const std::string command = "launch-at-login command";
    for (const auto& [steps, before, refuse, logged, alerted] :
         std::vector<std::tuple<Strings, bool, bool, Strings, Strings>>{
             // clang-format off
             {{"launch"}, false, false, {"true"}, {}},
             {{"launch"}, false, true, {"false"}, {}}, // refused: the state in force, not the wish
             {{"launch", command, command}, true, false, {"true", "false", "true"}, {"false", "true"}},
             {{"launch", command}, true, true, {"true", "true"}, {"true"}},
             {{"launch", command, "enable launch-at-login behind its back", "reapply the launch-at-login wish"},
              true, false, {"true", "false", "false"}, {"false"}},
             // clang-format on
         }) {
        Agent agent;
        std::tie(agent.launchAtLogin, agent.refuse) = std::tie(before, refuse);
        agent.play(steps);
        const std::string named = ::testing::PrintToString(steps);
        EXPECT_EQ(agent.entriesStartingWith("log: 自動起動の設定："), logged) << named;
        EXPECT_EQ(agent.entriesStartingWith("alert: 自動起動の設定："), alerted) << named;
    }
}

// One stamp per real change of presence, whichever source reports it. A quit is held for its
// leaving stamp's outcome (a second request ends it at once), a sleep, power-off or log-out for the
// outcome of the stamp that ended presence, or let go at once; a quit while away is not held.
TEST(AgentTest, EventsStampsHoldsAndTheEnd) {
    const std::string quitStamp = "leaving 18:07:41", kept = "unsent leaving 18:07:41";
    const std::string keptArrival = "unsent arrival 18:07:41";
    const Strings unsafe = {"unsafe serial", "unsafe serial", "ended", kept, keptArrival};
    for (const auto& [steps, story] : std::vector<std::pair<Strings, Strings>>{
             // clang-format off
             {{"run", "quit"}, {quitStamp, kept}},
             {{"run", "quit", "accept"}, {quitStamp, "accepted"}}, // the end is queued
             {{"run", "quit", "refuse", "drain"}, {quitStamp, "refused", "ended", kept}},
             {{"run", "quit", "fail", "drain"}, {quitStamp, "failed", "ended", kept}},
             {{"run", "quit", "resend an unknown leaving key", "drain"}, {quitStamp, "no time", "ended", kept}},
             {{"run", "quit", "quit"}, {quitStamp, "ended", kept}},
             // A power-off stamps and locks, but only a quit ends the agent: at once after it.
             {{"run", "power off", "quit"}, {quitStamp, "ended", kept}},
             {{"run", "power off", "refuse", "drain"}, {quitStamp, "refused", "released: power-off", kept}},
             {{"run", "power off", "accept", "drain", "power-off called off", "quit"},
              {quitStamp, "accepted", "released: power-off", "arrival 18:07:41", quitStamp, kept, keptArrival}},
             {{"run", "quit", "power off", "power-off called off", "accept", "drain"},
              {quitStamp, "accepted", "ended"}}, // a quit asked for before stays asked for
             // An abrupt end stores the day's end, unless the user had left already.
             {{"run", "end abruptly at 18:30:00"}, {"unsent leaving 18:30:00"}},
             {{"run", "quit", "end abruptly at 18:30:00"}, {quitStamp, kept}},
             {{"run", "lock", "accept", "drain", "end abruptly"}, {quitStamp, "accepted"}},
             // No serial: nothing to wait for; one it cannot send (or none read yet): an outcome.
             {{"no serial", "launch"}, {"no serial alert", "ended"}},
             {{"leave now", "drain"}, {"no serial", kept}},
             {{"serial C02\r\nX-Other: 1", "launch", "quit", "drain"}, unsafe},
             {{"serial C02\x7FX", "launch", "quit", "drain"}, unsafe},
             // Each real change once, however many sources report it.
             {{"run", "lock at 18:00:00", "lock", "unlock at 18:05:00", "unlock"},
              {"leaving 18:00:00", "arrival 18:05:00", "unsent leaving 18:00:00", "unsent arrival 18:05:00"}},
             // Locked at six: a power-off at ten, called off or not, tells nothing new.
             {{"run", "lock at 18:00:00", "accept", "drain", "power off at 22:00:00", "power-off called off",
               "unlock at 23:00:00"},
              {"leaving 18:00:00", "accepted", "released: power-off", "arrival 23:00:00", "unsent arrival 23:00:00"}},
             {{"run", "lock at 18:00:00", "accept", "drain", "power off at 22:00:00", "quit"},
              {"leaving 18:00:00", "accepted", "released: power-off", "ended"}},
             // Held for its own stamp only: another leaving outcome does not let it go.
             {{"run", "power off", "resend an unknown leaving key", "drain", "refuse", "drain"},
              {quitStamp, "no time", "refused", "released: power-off", kept}},
             {{"run", "sleep", "resend an unknown leaving key", "drain", "accept", "drain", "wake at 18:30:00"},
              {quitStamp, "no time", "accepted", "released: sleep", "arrival 18:30:00", "unsent arrival 18:30:00"}},
             // A sleep right after a lock waits for the lock's stamp; after its outcome, for none.
             {{"run", "lock", "sleep", "fail", "drain", "network down", "wake", "sleep"},
              {quitStamp, "failed", "released: sleep", "released: sleep", kept}},
             // A quit held for its stamp: a power-off or a sleep adds none.
             {{"run", "quit", "power off", "sleep", "accept", "drain"},
              {quitStamp, "accepted", "released: sleep", "released: power-off", "ended"}},
             {{"run", "lock", "quit"}, {quitStamp, "ended", kept}},
             // A fresh record is never resent while its own transfer is under way.
             {{"run", "scan as the next record is stored", "lock"}, {quitStamp, kept}},
             // A log-out's saves are one; its cancel begins the day again.
             {{"run", "log out", "log out", "accept", "drain", "log-out called off at 18:10:00", "log out at 18:20:00",
               "quit"},
              {quitStamp, "accepted", "released: session end", "arrival 18:10:00", "leaving 18:20:00", "ended",
               "unsent leaving 18:20:00", "unsent arrival 18:10:00"}},
             {{"run", "lock", "accept", "drain", "log out", "log-out called off"},
              {quitStamp, "accepted", "released: session end"}},
             // Two leaving stamps of one second share a record: the first one's acceptance keeps it.
             {{"run", "lock", "unlock", "quit", "accept", "accept", "fail", "drain"},
              {quitStamp, "arrival 18:07:41", quitStamp, "accepted", "ended", "refused", "failed", kept,
               "unsent arrival 18:07:41"}},
             // Called off and begun again within one second: the same key, but the hold waits for
             // its own stamp, not the first one's.
             {{"run", "log out", "log-out called off", "log out", "accept", "drain", "accept", "accept",
               "drain"},
              {quitStamp, "arrival 18:07:41", quitStamp, "accepted", "accepted", "refused",
               "released: session end", "unsent arrival 18:07:41"}},
             // The manual commands always stamp.
             {{"run", "lock", "leave now at 18:10:00", "arrive now at 18:20:00"},
              {quitStamp, "leaving 18:10:00", "arrival 18:20:00", kept, "unsent leaving 18:10:00",
               "unsent arrival 18:20:00"}},
             // Stored stamps go out when the network is back, or on waking when it is there; where the
             // system cannot tell, it says so once, and stamps all the same.
             {{"run", "network back"}, {}},
             {{"network unknown", "launch"}, {"network unknown", "arrival 18:07:41", "unsent arrival 18:07:41"}},
             {{"run", "lock", "fail", "drain", "network back", "network back", "fail", "network back"},
              {quitStamp, "failed", "network scan", quitStamp, "network scan", quitStamp, kept}},
             {{"run", "lock", "fail", "drain", "sleep", "wake", "network down", "sleep", "wake"},
              {quitStamp, "failed", "released: sleep", "network scan", quitStamp, "released: sleep", kept}},
             // clang-format on
         }) {
        Agent agent;
        agent.play(steps);
        EXPECT_EQ(agent.story(), story) << ::testing::PrintToString(steps);
    }
}

// A manual stamp at 09:00, answered once, with an older leaving record in the store. Its completion
// is the "done" alert. Then: accepted (the record removed, the alert shown), scans, logged.
TEST(AgentTest, OutcomesByStatusAndKind) {
    const std::string arrivalLost = lost + arriving + "を実行できませんでした:";
    const auto dashes = [](std::size_t count) { return std::string(count, '-'); };
    const std::vector<std::tuple<std::string, TransferResult, bool, bool, std::string>> cases = {
        {arriving, response(200), true, true, arriving + "に成功しました:ok"},
        {arriving, response(201, "no"), false, false, arriving + "に失敗しました:no"},
        {leaving, response(200), true, false, leaving + "に成功しました:ok"},
        {leaving, response(201), true, false, leaving + "に成功しました:ok"},
        {leaving, response(404, "{}"), false, false, leaving + "に失敗しました:{}"},
        // Only a body with an HTTP response and no error is an answer.
        {arriving, {"ok", HttpResponse{true, 200}, error}, false, false, arrivalLost + errorText},
        {arriving, {{}, HttpResponse{true, 200}, {}}, false, false, arrivalLost + "nil"},
        {arriving, {"ok", {}, {}}, false, false, arrivalLost + "nil"},
        {arriving, {"ok", HttpResponse{false, 200}, {}}, false, false, arrivalLost + "nil"},
        // Bodies are written with malformed UTF-8 replaced, and cut after 4 KiB between characters.
        {arriving, response(200, ""), true, true, arriving + "に成功しました:"},
        {leaving, response(400, "\xFFok\xE3\x81"), false, false, "しました:\uFFFDok\uFFFD\uFFFD"},
        {arriving, response(200, dashes(4097)), true, true, ":" + dashes(4096) + "…(全4097バイト)"},
        {leaving, response(400, dashes(4095) + "あ"), false, false,
         ":" + dashes(4095) + "…(全4098バイト)"}};
    for (const auto& [kind, outcome, accepted, scans, logged] : cases) {
        Agent agent;
        agent.running().at("09:00:00").store[leaving + "_20240331183005"] = "20240331183005";
        kind == arriving ? agent.delegate.arriveNow() : agent.delegate.leaveNow();
        agent.answer(outcome);
        EXPECT_THAT(agent.entriesStartingWith("alert: "), IsEmpty()) << "on the main queue";
        agent.drainMainQueue();
        EXPECT_THAT(agent.entriesStartingWith("log: "), Contains(EndsWith(logged)));
        EXPECT_EQ(agent.entriesStartingWith("alert: ").size(), accepted ? 1u : 0u) << logged;
        EXPECT_EQ(agent.store.size(), accepted ? 1u : 2u) << logged;
        EXPECT_EQ(agent.urls().size(), scans ? 2u : 1u) << logged;
        agent.terminate(); // no manual stamp locks termination: the quit is held for its own
        EXPECT_FALSE(agent.ended);
    }
}

// A failed transfer is logged and repeated after a wait, until the retries are spent.
TEST(AgentTest, RetriesRepeatTheRequestWaitingLongerAndHoldTheWaitAtItsTop) {
    constexpr std::uint32_t top = 4294967295;
    for (const auto& [retries, waits] :
         std::vector<std::pair<std::int64_t, std::vector<std::uint32_t>>>{
             {0, {}},
             {3, {3000000, 3000000, 4000000}},
             // Far past the point where a 32-bit wait would wrap round to a short one.
             {std::numeric_limits<std::int64_t>::max(),
              {3000000,    3000000,    4000000,    8000000,    17000000,   33000000,   58000000,
               94000000,   143000000,  207000000,  288000000,  388000000,  509000000,  653000000,
               822000000,  1018000000, 1243000000, 1499000000, 1788000000, 2112000000, 2473000000,
               2873000000, 3314000000, 3798000000, top,        top}}}) {
        const bool givesUp = std::cmp_equal(retries, waits.size()); // a huge count is still going
        Agent agent(retries);
        agent.delegate.applicationDidFinishLaunching();
        for (std::size_t failure = 0; failure < waits.size() + (givesUp ? 1 : 0); ++failure)
            agent.failTransfer("#" + std::to_string(failure));
        agent.drainMainQueue();
        EXPECT_EQ(agent.waits, waits) << retries;
        EXPECT_THAT(agent.urls(), Each(agent.urls().front()));
        // Given up, the last error is reported as the outcome; still going, as the last failure.
        const std::string last =
            givesUp ? "#" + std::to_string(retries) + ")" : "#" + std::to_string(waits.size() - 1);
        EXPECT_THAT(agent.entriesStartingWith("log: ").back(), EndsWith(last));
        EXPECT_EQ(agent.store.size(), 1u);
    }
    Agent refusing(2); // a refusal is an answer, never repeated
    refusing.play({"launch", "refuse"});
    EXPECT_TRUE(refusing.waits.empty() && refusing.transfers.empty());
}

// A resend sends the record's own time (a 12-hour one in 24-hour form), never writes the record
// back, and logs any other text; a time this zone skips may be real where the stamp was made.
TEST(AgentTest, ResendsSendTheStoredTimeOfARealMomentOnly) {
    const std::string key = leaving + "_20240330070000";
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    for (const auto& [stored, sent] : Pairs{
             // clang-format off
             {"20240330070000", "20240330070000"}, {"20240331023000", "20240331023000"},
             {"20240229235959", "20240229235959"}, {"20230229120000", ""}, {"20240401086000", ""},
             {"2024040183005 PM", "20240401203005"}, {"20240401103005 PM", "20240401223005"},
             {"20240401103005&tim=19990101000000", ""}, {"20240401083005#x", ""},
             {"2024040109300%41", ""}, {"20240431083005", ""},
             // clang-format on
         }) {
        Agent agent(0, "Europe/Berlin"); // whose clocks skip 02:00–03:00 on 31 March
        agent.running().store[key] = stored;
        agent.delegate.leaveWithUnSentKey(key, [] {});
        const std::string url = leavingUrl + sent;
        EXPECT_EQ(agent.entries(),
                  sent.empty() ? Strings{"log: " + noUrl(leaving) + stored}
                               : (Strings{"log: Leaving Endpoint: " + url, "request: " + url}));
        EXPECT_THAT(agent.store, ElementsAre(Pair(key, stored)));
    }
    Agent missing; // an unknown key: its time is empty
    missing.running().delegate.arriveWithUnSentKey(arriving + "_gone", [] {});
    EXPECT_EQ(missing.entries(),
              (Strings{"log: 未送信の打刻を取得できませんでした:" + arriving + "_gone",
                       "log: " + noUrl(arriving)}));
}

// Failed manual stamps wait for the next accepted fresh arrival, whose scan sends every record not
// on its way already, silently; a fresh stamp goes out beside one of the same second.
TEST(AgentTest, OnlyAnAcceptedFreshArrivalResendsRecordsOnceAndThatSilently) {
    Agent agent;
    agent.store.insert({{arriving + "_x", {}}, {"NSLanguages", "ja"}}); // not text; not ours
    agent.running().at("08:00:00").delegate.arriveNow();
    agent.failTransfer();
    agent.at("08:01:00").delegate.leaveNow();
    agent.answer(response(500));
    agent.at("09:00:00").delegate.arriveNow();
    agent.delegate.arriveNow();      // the same key, on its way already
    agent.events.screenLocked(true); // its transfer is under way
    agent.entries().clear();
    agent.answer(response(200));
    agent.answer(response(200)); // a second scan
    EXPECT_THAT(agent.urls(),
                ElementsAre(leavingUrl + "20240401080100", arrivalUrl + "20240401080000"));
    EXPECT_THAT(agent.entriesStartingWith("log: printUnsent： "), // none under way
                ElementsAre(leaving + "_20240401080100 / 20240401080100",
                            arriving + "_20240401080000 / 20240401080000"));
    agent.answer(response(200)); // the screen lock's
    agent.answer(response(500));
    agent.answer(response(200));
    agent.drainMainQueue();
    EXPECT_EQ(agent.entriesStartingWith("alert: ").size(), 2u) << "the two 09:00 arrivals' own";
    EXPECT_EQ(agent.toolTip, "TALVERIN Timestamp\n最後の打刻：" + leaving +
                                 " 2024/04/01 09:00\n未送信の打刻：2件"); // not 08:00
    EXPECT_THAT(agent.transfers, IsEmpty()) << "accepted resends scan no further";
    EXPECT_THAT(agent.store, ElementsAre(Key("NSLanguages"), Key(leaving + "_20240401080100"),
                                         Key(arriving + "_x")));
}

// Every pattern the agent uses, with the text an instant is written as and read back from.
TEST(DateFormatTest, WritesAndReadsEveryPatternTheAgentUses) {
    const ScopedTimeZone tokyo("Asia/Tokyo");
    const char *stamp = "yyyyMMddHHmmss", *h = "yyyyMMddhmmss a", *hh = "yyyyMMddhhmmss a";
    for (const auto& [pattern, text, time] :
         std::vector<std::tuple<const char*, const char*, const char*>>{
             // clang-format off
             {stamp, "20240401203005", "2024-04-01 20:30:05"}, {stamp, "20240402000000", "2024-04-02 00:00:00"},
             {"yyyy/MM/dd HH:mm:ss", "2024/04/01 20:30:05", "2024-04-01 20:30:05"},
             {"yyyy-MM-dd", "2024-04-01", "2024-04-01 00:00:00"},
             {hh, "20240401083005 PM", "2024-04-01 20:30:05"}, {h, "2024040183005 PM", "2024-04-01 20:30:05"},
             {hh, "20240402120000 AM", "2024-04-02 00:00:00"}, {hh, "20240401120000 PM", "2024-04-01 12:00:00"},
             {hh, "20240401110000 AM", "2024-04-01 11:00:00"}, {stamp, "20240401235959", "2024-04-01 23:59:59"},
             {hh, "20240229083005 PM", "2024-02-29 20:30:05"}, {hh, "20000229083005 PM", "2000-02-29 20:30:05"},
             // The whole text must match, with exact digit counts: a one-letter hour has one.
             {h, "20240401083005 PM", nullptr}, {h, "20240401103005 PM", nullptr}, {stamp, "20240401240000", nullptr},
             // clang-format on
         }) {
        EXPECT_EQ(parseDate(pattern, text), time ? std::optional(localTime(time)) : std::nullopt)
            << pattern << " " << text;
        EXPECT_EQ(time ? formatDate(pattern, localTime(time)) : text, text);
    }
    // Nor do texts of another shape, or with a field out of range or a day not in its month.
    for (const char* text :
         {"2024040183005 PM", "", "20240401083005", "20240401083005 PM ", " 20240401083005 PM",
          "20240401083005 pm", "20240401083005 XM", "20240401083005PM", "2024O401083005 PM",
          "２０２４0401083005 PM", "20240431083005 PM", "20230229083005 PM", "21000229083005 PM",
          "20241301083005 PM", "20240001083005 PM", "20240400083005 PM", "20240401133005 PM",
          "20240401006005 PM", "20240401083060 PM"})
        EXPECT_EQ(parseDate(hh, text), std::nullopt) << text;
    const Instant evening = localTime("2024-04-01 20:30:05");
    const ScopedTimeZone utc("UTC");
    EXPECT_EQ(formatDate(stamp, evening), "20240401113005") << "in the system's zone";
}

std::string contentsOf(const std::filesystem::path& file) {
    return (std::ostringstream() << std::ifstream(file).rdbuf()).str();
}

TEST(DailyLogTest, MakesItsPrivateFolderAndAppendsEachMessageWholeToTheFileOfItsOwnDay) {
    FakePlatform home; // a HOME without a log folder, in Asia/Tokyo
    const auto logs = home.home / "Library/Logs";
    const mode_t previousMask = ::umask(0); // private whatever the umask
    home.clock = localTime("2024-03-05 23:59:57");
    home.tick = std::chrono::seconds(1);
    const DailyLog log(home, [&home] { return home.homeDirectory(); });
    log.write("終了時の打刻: 終了時の打刻_20240305235957");
    log.write("a\nforged line\r\t\x01\x1b\x7F"); // each line starts with its own time stamp
    log.write(""); // one reading of the clock names the file and stamps the line
    log.write("broken \xE3\x81 text");
    std::ofstream(logs / "talverin-timestamp-2024-03-06.log"); // as an older version left them:
    std::filesystem::permissions(logs, std::filesystem::perms::all); // open to others
    log.write("next day");
    ::umask(previousMask);
    EXPECT_EQ(contentsOf(logs / "talverin-timestamp-2024-03-05.log"),
              "2024/03/05 23:59:57 - 終了時の打刻: 終了時の打刻_20240305235957\n"
              "2024/03/05 23:59:58 - a\\nforged line\\r\\t\\x01\\x1b\\x7f\n"
              "2024/03/05 23:59:59 - \n");
    EXPECT_EQ(contentsOf(logs / "talverin-timestamp-2024-03-06.log"),
              "2024/03/06 00:00:01 - next day\n");
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(logs).permissions(), owner_all);
    EXPECT_EQ(std::filesystem::status(logs / "talverin-timestamp-2024-03-06.log").permissions(),
              owner_read | owner_write);
    // A file that cannot be opened loses its line; the log goes on.
    std::filesystem::create_directory(logs / "talverin-timestamp-2024-03-07.log");
    home.clock = localTime("2024-03-07 23:59:59");
    log.write("lost");
    log.write("kept");
    EXPECT_EQ(contentsOf(logs / "talverin-timestamp-2024-03-08.log"),
              "2024/03/08 00:00:00 - kept\n");
}

TEST(DailyLogTest, TwoThreadsAtOnceNeitherTearNorInterleaveNorMixUpTheirLines) {
    FakePlatform home, evening; // home's clock reads the morning, the other's the evening
    evening.clock = localTime("2024-04-01 21:00:00");
    const std::string padding(300, 'x'); // long enough that a line written in pieces would show
    std::vector<std::jthread> writers;
    for (const Clock* clock : {&home, &evening}) {
        writers.emplace_back([&, clock] {
            const DailyLog log(*clock, [&home] { return home.home.string(); });
            for (int line = 0; line < 10000; ++line)
                log.write(std::to_string(line) + padding);
        });
    }
    writers.clear(); // joins them
    std::ifstream contents(home.home / "Library/Logs/talverin-timestamp-2024-04-01.log");
    std::map<std::string, int> next; // by time of day
    int malformed = 0;
    for (std::string line; std::getline(contents, line);) {
        const std::string time = line.size() < 19 ? "" : line.substr(11, 8);
        malformed += (time != "08:30:05" && time != "21:00:00") ||
                     line != "2024/04/01 " + time + " - " + std::to_string(next[time]++) + padding;
    }
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(next, (std::map<std::string, int>{{"08:30:05", 10000}, {"21:00:00", 10000}}));
}

} // namespace
} // namespace talverin::testing
