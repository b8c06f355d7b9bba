#include "PrivateBus.h"
#include "ScopedEnvironmentVariable.h"
#include "platform/linux/LinuxSystemEvents.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QTest>
#include <QThread>

#include <gmock/gmock.h>

#include <memory>
#include <string>
#include <vector>

namespace talverin {
namespace {

using testing::BusServiceProcess;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::PrivateBus;
using testing::ScopedEnvironmentVariable;
using namespace std::chrono_literals;

const QString controlPath = QStringLiteral("/com/talverin/test/Control");
const QString login1Control = QStringLiteral("com.talverin.test.Login1Control");
const QString screenSaverControl = QStringLiteral("com.talverin.test.ScreenSaverControl");

struct Inhibitor {
    std::string what;
    std::string who;
    std::string why;
    std::string mode;
    bool open = false;
};

bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 10000);
}

class SystemEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(systemBus.isRunning()) << systemBus.errorText().toStdString();
        ASSERT_TRUE(sessionBus.isRunning()) << sessionBus.errorText().toStdString();
    }

    void startLogind(const QStringList& arguments = {}) {
        logind = BusServiceProcess::startFake(systemBus, QStringLiteral("fake_logind.py"),
                                              QStringLiteral("org.freedesktop.login1"), arguments);
        ASSERT_NE(logind, nullptr);
    }

    void startScreenSaver() {
        screenSaver =
            BusServiceProcess::startFake(sessionBus, QStringLiteral("fake_screensaver.py"),
                                         QStringLiteral("org.freedesktop.ScreenSaver"));
        ASSERT_NE(screenSaver, nullptr);
    }

    // The object under test, with every handler writing to `events`.
    void startEvents(LinuxSystemEventsOptions options = {}) {
        systemEvents = std::make_unique<LinuxSystemEvents>(systemBus.connection(),
                                                           sessionBus.connection(), options);
        systemEvents->observeScreenLocked([this] { record("locked"); });
        systemEvents->observeScreenUnlocked([this] { record("unlocked"); });
        systemEvents->observeWillPowerOff([this] {
            record("powerOff");
            const std::vector<Inhibitor> held = inhibitors();
            inhibitorOpenAtPowerOff.push_back(!held.empty() && held.back().open);
        });
    }

    void record(const std::string& event) {
        events.push_back(event);
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
            handlerOffMainThread = true;
        }
    }

    QDBusMessage callLogind(const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
                                                           controlPath, login1Control, method);
        call.setArguments(arguments);
        const QDBusMessage reply = systemBus.connection().call(call, QDBus::Block, 10000);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        return reply;
    }

    void setLockedHint(bool locked) { callLogind(QStringLiteral("SetLockedHint"), {locked}); }
    void prepareForShutdown(bool starting) {
        callLogind(QStringLiteral("EmitPrepareForShutdown"), {starting});
    }

    std::vector<Inhibitor> inhibitors() {
        const QDBusMessage reply = callLogind(QStringLiteral("Inhibitors"));
        std::vector<Inhibitor> result;
        if (reply.arguments().isEmpty()) {
            return result;
        }
        const QDBusArgument list = reply.arguments().constFirst().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            bool open = false;
            list.beginStructure();
            list >> what >> who >> why >> mode >> open;
            list.endStructure();
            result.push_back({what.toStdString(), who.toStdString(), why.toStdString(),
                              mode.toStdString(), open});
        }
        list.endArray();
        return result;
    }

    void screenSaverActive(const QString& interfaceName, const QString& path, bool active) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.ScreenSaver"), controlPath, screenSaverControl,
            QStringLiteral("EmitActiveChanged"));
        call << interfaceName << QVariant::fromValue(QDBusObjectPath(path)) << active;
        const QDBusMessage reply = sessionBus.connection().call(call, QDBus::Block, 10000);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }
    void gnomeScreenSaver(bool active) {
        screenSaverActive(QStringLiteral("org.gnome.ScreenSaver"),
                          QStringLiteral("/org/gnome/ScreenSaver"), active);
    }

    bool eventsBecome(const std::vector<std::string>& expected) {
        return eventually([&] { return events == expected; });
    }

    PrivateBus systemBus;
    PrivateBus sessionBus;
    std::unique_ptr<BusServiceProcess> logind;
    std::unique_ptr<BusServiceProcess> screenSaver;
    std::vector<std::string> events;
    std::vector<bool> inhibitorOpenAtPowerOff;
    bool handlerOffMainThread = false;
    std::unique_ptr<LinuxSystemEvents> systemEvents;
};

TEST_F(SystemEventsTest, EachTransitionReachesTheHandlersOnceWhateverReportsIt) {
    startLogind();
    startScreenSaver();
    startEvents();

    setLockedHint(true);
    ASSERT_TRUE(eventsBecome({"locked"})) << ::testing::PrintToString(events);

    // Signals from one sender arrive in order: the unlock proves the repeated lock was dropped.
    gnomeScreenSaver(true);
    screenSaverActive(QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/ScreenSaver"),
                      false);
    ASSERT_TRUE(eventsBecome({"locked", "unlocked"})) << ::testing::PrintToString(events);

    // The same interface on its second path, as one desktop sends it.
    screenSaverActive(QStringLiteral("org.freedesktop.ScreenSaver"),
                      QStringLiteral("/org/freedesktop/ScreenSaver"), false);
    screenSaverActive(QStringLiteral("org.xfce.ScreenSaver"),
                      QStringLiteral("/org/xfce/ScreenSaver"), true);
    ASSERT_TRUE(eventsBecome({"locked", "unlocked", "locked"})) << ::testing::PrintToString(events);

    setLockedHint(true);
    setLockedHint(false);
    ASSERT_TRUE(eventsBecome({"locked", "unlocked", "locked", "unlocked"}))
        << ::testing::PrintToString(events);
    EXPECT_FALSE(handlerOffMainThread);
}

TEST_F(SystemEventsTest, StartsFromTheSessionsLockedHint) {
    startLogind({QStringLiteral("--locked-hint")});
    startScreenSaver();
    startEvents();

    gnomeScreenSaver(true);
    gnomeScreenSaver(false);
    EXPECT_TRUE(eventsBecome({"unlocked"})) << ::testing::PrintToString(events);
}

TEST_F(SystemEventsTest, FindsTheSessionByProcessWhenAutoIsUnknown) {
    startLogind({QStringLiteral("--no-auto"), QStringLiteral("--locked-hint")});
    startEvents();

    setLockedHint(false);
    EXPECT_TRUE(eventsBecome({"unlocked"})) << ::testing::PrintToString(events);
}

TEST_F(SystemEventsTest, FindsTheSessionByItsIdFromTheEnvironmentLast) {
    const ScopedEnvironmentVariable sessionId("XDG_SESSION_ID", "7");
    startLogind({QStringLiteral("--no-auto"), QStringLiteral("--no-pid"),
                 QStringLiteral("--session-id"), QStringLiteral("7"),
                 QStringLiteral("--locked-hint")});
    startEvents();

    setLockedHint(false);
    EXPECT_TRUE(eventsBecome({"unlocked"})) << ::testing::PrintToString(events);
}

TEST_F(SystemEventsTest, ReadsTheLockedHintAgainWhenOnlyItsChangeIsAnnounced) {
    startLogind();
    startEvents();

    callLogind(QStringLiteral("InvalidateLockedHint"), {true});
    EXPECT_TRUE(eventsBecome({"locked"})) << ::testing::PrintToString(events);
}

TEST_F(SystemEventsTest, PowerOffRunsTheHandlerWhileTheDelayInhibitorIsHeld) {
    startLogind();
    startEvents({.inhibitorReleaseDelay = 1h});

    std::vector<Inhibitor> held = inhibitors();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].what, "shutdown");
    EXPECT_EQ(held[0].who, "TALVERIN Timestamp");
    EXPECT_FALSE(held[0].why.empty());
    EXPECT_EQ(held[0].mode, "delay");
    EXPECT_TRUE(held[0].open);

    prepareForShutdown(true);
    ASSERT_TRUE(eventsBecome({"powerOff"})) << ::testing::PrintToString(events);
    EXPECT_THAT(inhibitorOpenAtPowerOff, ElementsAre(true));
    EXPECT_TRUE(inhibitors().at(0).open);

    systemEvents->releasePowerOffInhibitor();
    EXPECT_TRUE(eventually([&] { return !inhibitors().at(0).open; }));
    EXPECT_EQ(inhibitors().size(), 1u);
    EXPECT_FALSE(handlerOffMainThread);
}

TEST_F(SystemEventsTest, ACalledOffPowerOffTakesTheInhibitorAgain) {
    startLogind();
    startEvents({.inhibitorReleaseDelay = 100ms});

    // Released after the delay when the agent does not release it first.
    prepareForShutdown(true);
    ASSERT_TRUE(eventually([&] { return !inhibitors().at(0).open; }));
    prepareForShutdown(false);
    ASSERT_TRUE(eventually([&] { return inhibitors().size() == 2; }));
    EXPECT_TRUE(inhibitors().at(1).open);
    EXPECT_EQ(inhibitors().at(1).mode, "delay");

    // Released by the agent itself rather than by the delay.
    systemEvents->releasePowerOffInhibitor();
    ASSERT_TRUE(eventually([&] { return !inhibitors().at(1).open; }));
    prepareForShutdown(false);
    ASSERT_TRUE(eventually([&] { return inhibitors().size() == 3; }));
    EXPECT_TRUE(inhibitors().at(2).open);
    EXPECT_THAT(events, ElementsAre("powerOff"));
}

TEST_F(SystemEventsTest, APowerOffCalledOffInTimeKeepsTheOneInhibitor) {
    startLogind();
    startEvents({.inhibitorReleaseDelay = 1h});

    prepareForShutdown(true);
    prepareForShutdown(false);
    prepareForShutdown(true);
    // The second power-off proves the call-off between them has been handled.
    ASSERT_TRUE(eventsBecome({"powerOff", "powerOff"})) << ::testing::PrintToString(events);
    const std::vector<Inhibitor> held = inhibitors();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_TRUE(held[0].open);
    EXPECT_THAT(inhibitorOpenAtPowerOff, ElementsAre(true, true));
}

TEST_F(SystemEventsTest, WithoutLogindOnlyTheScreenSaversReport) {
    startScreenSaver();
    startEvents();
    EXPECT_THAT(events, IsEmpty());

    gnomeScreenSaver(true);
    EXPECT_TRUE(eventsBecome({"locked"})) << ::testing::PrintToString(events);
}

TEST_F(SystemEventsTest, WithoutAnyBusNothingHappensAndNothingFails) {
    LinuxSystemEvents unconnected(QDBusConnection(QStringLiteral("talverin-no-such-bus")),
                                  QDBusConnection(QStringLiteral("talverin-no-such-bus")));
    bool called = false;
    unconnected.observeWillPowerOff([&] { called = true; });
    unconnected.observeScreenLocked([&] { called = true; });
    unconnected.observeScreenUnlocked([&] { called = true; });
    unconnected.releasePowerOffInhibitor();
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
}

} // namespace
} // namespace talverin
