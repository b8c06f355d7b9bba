#include "DesktopAgentTest.h"
#include "Screenshots.h"
#include "StatusNotifierHost.h"

#include <QDBusObjectPath>

#include <gmock/gmock.h>

#include <set>

namespace talverin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAreArray;

int distinctColours(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(image.pixel(x, y));
        }
    }
    return static_cast<int>(colours.size());
}

// What a user does with the tray: opens the menu, reads the about box, goes to the web page and
// quits.
class TrayMenuTest : public DesktopAgentTest {
protected:
    using DesktopAgentTest::DesktopAgentTest;

    // After a quit from the menu: the leaving stamp was sent and accepted, then the agent ended,
    // and everything it left behind is in order.
    void expectQuitAfterTheLeavingStamp(AgentProcess& agent) {
        ASSERT_TRUE(agent.waitForExit(30000)) << agent.outputLines().join(u'\n').toStdString();
        EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(agent.exitCode(), 0);

        const QStringList lines = agent.outputLines();
        const std::string arrivalKey = keyOf(lines, arrivalAccepted);
        const std::string leavingKey = keyOf(lines, leavingAccepted);
        ASSERT_NE(arrivalKey, "");
        ASSERT_NE(leavingKey, "");
        const auto arrivals = bed.agent.requestsTo(arrivalPath);
        const auto leavings = bed.agent.requestsTo(leavingPath);
        ASSERT_THAT(arrivals, SizeIs(1));
        ASSERT_THAT(leavings, SizeIs(1));
        EXPECT_EQ(arrivals[0].query, "tim=" + timeOf(arrivalKey));
        EXPECT_EQ(leavings[0].query, "tim=" + timeOf(leavingKey));
        EXPECT_THAT(leavings[0].headerValues("X-OSX-NUMBER"), ElementsAre("C02TESTSERIAL"));

        const QString arrivalRecord = QString::fromStdString(arrivalKey);
        const QString leavingRecord = QString::fromStdString(leavingKey);
        const QString apiBase = QString::fromStdString(origin()) + QStringLiteral("/api/osx/v1/");
        const QStringList everyLine{
            QStringLiteral("call 開始時の打刻"),
            QStringLiteral("setUnset: ") + arrivalRecord,
            apiBase,
            arrivalAccepted,
            QStringLiteral("removeUnsent: ") + arrivalRecord,
            QString::fromStdString(morning),
            QStringLiteral("applicationShouldTerminate.lockTerminate: false"),
            QStringLiteral("setUnset: ") + leavingRecord,
            QStringLiteral("call 終了時の打刻"),
            leavingAccepted,
            QStringLiteral("removeUnsent: ") + leavingRecord,
            QString::fromStdString(evening),
            QStringLiteral("applicationWillTerminate.lockTerminate: true"),
        };
        EXPECT_THAT(lines, UnorderedElementsAreArray(everyLine)) << lines.join(u'\n').toStdString();
        // The main thread's own order; the delivery thread's; and where one waits for the other.
        EXPECT_TRUE(containsInOrder(lines, QStringList{everyLine[0], everyLine[1], everyLine[2],
                                                       everyLine[6], everyLine[7], everyLine[8],
                                                       everyLine[12]}));
        EXPECT_TRUE(containsInOrder(lines, QStringList{everyLine[1], everyLine[3], everyLine[4],
                                                       everyLine[5], everyLine[6]}));
        EXPECT_TRUE(containsInOrder(
            lines, QStringList{everyLine[8], everyLine[9], everyLine[10], everyLine[11]}));
        EXPECT_TRUE(containsInOrder(lines, QStringList{everyLine[10], everyLine[12]}));

        ASSERT_EQ(bed.logProblem(), "");
        const auto log = bed.agent.logMessages();
        std::vector<std::string> expected = startLogMessages(origin(), timeOf(arrivalKey), morning);
        expected.push_back("Leaving Endpoint: " + origin() + leavingPath + "?" + leavings[0].query);
        expected.push_back("終了時の打刻: " + leavingKey);
        expected.push_back("終了時の打刻に成功しました:" + evening);
        EXPECT_THAT(log, UnorderedElementsAreArray(expected));
        EXPECT_TRUE(containsInOrder(log, {expected[0], expected[1], expected[2], expected[3],
                                          expected[4], expected[5], expected[6], expected[7]}));
        EXPECT_TRUE(containsInOrder(log, {expected[6], expected[8]}));

        EXPECT_THAT(bed.agent.records(), IsEmpty());
        EXPECT_EQ(bed.autostartEntryText(),
                  "[Desktop Entry]\nType=Application\nName=TALVERIN Timestamp\n"
                  "Comment=Stamps the time clock when you start and end work\nExec=" +
                      AgentProcess::executable().toStdString() +
                      "\nIcon=com.talverin.Timestamp\nTerminal=false\nNoDisplay=true\n"
                      "X-GNOME-Autostart-enabled=true\n");
        EXPECT_THAT(agent.errorText().toStdString(), IsEmpty());
    }
};

// The classic X tray: the icon embedded in the tray host and a click on it.
class XembedTrayTest : public TrayMenuTest {
protected:
    XembedTrayTest() : TrayMenuTest({.trayHost = true, .statusNotifierWatcher = false}) {}
};

TEST_F(XembedTrayTest, TheIconOpensTheMenuAndEachItemDoesItsWork) {
    auto agent = startedAgent();
    const auto icon = bed.tray->waitForAgentIcon();
    ASSERT_TRUE(icon) << "no icon in the tray";
    // The clock is drawn, not an empty square in the tray's colour.
    EXPECT_GE(distinctColours(bed.driver.capture(icon->frame)), 8);

    // Clicked near its lower edge, the menu opens at the pointer below the icon and leaves it in
    // sight for the picture.
    const QPoint onIcon(icon->frame.center().x(), icon->frame.bottom() - 1);
    ASSERT_TRUE(bed.driver.click(onIcon));
    auto menu = bed.driver.waitForPopupMenu();
    ASSERT_TRUE(menu) << "the menu did not open";
    // It opens by the icon and stays on the screen.
    EXPECT_GE(menu->frame.left(), 0);
    EXPECT_LE(menu->frame.right(), VirtualDisplay::width - 1);
    EXPECT_LT(menu->frame.top(), icon->frame.bottom() + 48);
    const QRect menuArea = menu->frame.united(bed.tray->panelFrame()).adjusted(-24, 0, 0, 12) &
                           QRect(0, 0, VirtualDisplay::width, VirtualDisplay::height);
    EXPECT_TRUE(keepScreenshot(bed.driver, menuArea, "tray-menu"));

    // アバウト: the about box, closed with Return.
    ASSERT_TRUE(bed.driver.click(menuItemCentre(*menu, 0, 3)));
    const auto about = theOnlyDialog();
    ASSERT_TRUE(about) << "no about box";
    EXPECT_TRUE(bed.driver.waitUntilClosed(*menu));
    EXPECT_TRUE(keepScreenshot(bed.driver, about->frame, "about"));
    dismiss(about);

    // TALVERINページへ: the service's site in the browser.
    ASSERT_TRUE(bed.driver.click(onIcon));
    menu = bed.driver.waitForPopupMenu();
    ASSERT_TRUE(menu);
    ASSERT_TRUE(bed.driver.click(menuItemCentre(*menu, 1, 3)));
    ASSERT_TRUE(waitUntil([&] { return !bed.openedUrls().empty(); }));
    EXPECT_THAT(bed.openedUrls(), ElementsAre(origin()));
    EXPECT_TRUE(bed.driver.waitUntilClosed(*menu));

    // 終了: the leaving stamp, then the end; the icon leaves the tray.
    ASSERT_TRUE(bed.driver.click(onIcon));
    menu = bed.driver.waitForPopupMenu();
    ASSERT_TRUE(menu);
    ASSERT_TRUE(bed.driver.click(menuItemCentre(*menu, 2, 3)));
    expectQuitAfterTheLeavingStamp(*agent);
    EXPECT_TRUE(waitUntil([&] { return !bed.tray->agentIcon(); }));
    EXPECT_THAT(bed.openedUrls(), SizeIs(1));
}

// A StatusNotifierItem host (KDE Plasma, GNOME's AppIndicator extension): the icon and the menu
// go over D-Bus, and the host sends the clicks back. There is no XEmbed tray on such a desktop.
class StatusNotifierTrayTest : public TrayMenuTest {
protected:
    StatusNotifierTrayTest() : TrayMenuTest({.trayHost = false, .statusNotifierWatcher = true}) {}

    StatusNotifierHost host{bed.agent.sessionBus.connection()};
};

TEST_F(StatusNotifierTrayTest, TheItemCarriesTheIconAndTheMenuAndEachEntryDoesItsWork) {
    auto agent = startedAgent();
    ASSERT_TRUE(host.waitForItem()) << "the item never registered with the watcher";
    EXPECT_EQ(host.itemProperty(QStringLiteral("Status")).toString(), QStringLiteral("Active"));
    EXPECT_EQ(host.itemProperty(QStringLiteral("Title")).toString(), agentTitle);
    EXPECT_EQ(host.itemProperty(QStringLiteral("Menu")).value<QDBusObjectPath>().path(),
              QStringLiteral("/MenuBar"));
    // The clock goes over the bus as pixels: at least one picture, and not a blank one.
    const auto pixmaps = host.iconPixmaps();
    ASSERT_FALSE(pixmaps.empty());
    const bool drawn = std::any_of(pixmaps.begin(), pixmaps.end(), [](const ItemPixmap& pixmap) {
        if (pixmap.width <= 0 || pixmap.height <= 0 ||
            pixmap.argb.size() != qsizetype(pixmap.width) * pixmap.height * 4) {
            return false;
        }
        const QImage image(reinterpret_cast<const uchar*>(pixmap.argb.constData()), pixmap.width,
                           pixmap.height, QImage::Format_ARGB32);
        return distinctColours(image) >= 8;
    });
    EXPECT_TRUE(drawn) << "every IconPixmap is empty or blank";

    const auto entries = host.menuEntries();
    ASSERT_TRUE(entries);
    std::vector<QString> labels;
    for (const MenuEntry& entry : *entries) {
        labels.push_back(entry.label);
        EXPECT_TRUE(entry.enabled && entry.visible) << entry.label.toStdString();
    }
    EXPECT_THAT(labels, ElementsAre(QStringLiteral("アバウト"), QStringLiteral("TALVERINページへ"),
                                    QStringLiteral("終了")));

    // A primary click on the icon opens the same menu at the pointer, drawn by the agent.
    ASSERT_TRUE(host.activate(900, 12));
    const auto menu = bed.driver.waitForPopupMenu();
    ASSERT_TRUE(menu) << "Activate opened no menu";
    ASSERT_TRUE(bed.driver.pressKey(*menu, QStringLiteral("Escape")));
    ASSERT_TRUE(bed.driver.waitUntilClosed(*menu));

    ASSERT_TRUE(host.clickMenuEntry(QStringLiteral("アバウト")));
    dismiss(theOnlyDialog());

    ASSERT_TRUE(host.clickMenuEntry(QStringLiteral("TALVERINページへ")));
    ASSERT_TRUE(waitUntil([&] { return !bed.openedUrls().empty(); }));
    EXPECT_THAT(bed.openedUrls(), ElementsAre(origin()));

    ASSERT_TRUE(host.clickMenuEntry(QStringLiteral("終了")));
    expectQuitAfterTheLeavingStamp(*agent);
    // The watcher forgets the item once its owner has left the bus.
    EXPECT_TRUE(waitUntil([&] { return host.registeredItems().isEmpty(); }));
}

} // namespace
} // namespace talverin::testing
