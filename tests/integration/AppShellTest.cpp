#include "FakePlatform.h"
#include "ScopedEnvironmentVariable.h"
#include "app/AppDelegate.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/linux/ServiceOrigin.h"
#include "platform/linux/XdgAutostart.h"

#include <gmock/gmock.h>

#include <fstream>

namespace talverin {
namespace {

using testing::FakePlatform;
using ::testing::HasSubstr;
using testing::localTime;
using testing::ScopedEnvironmentVariable;
using testing::ScopedTimeZone;
using testing::TemporaryFolder;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// The fakes with real launch-at-login and system information in their place.
Platform withReal(FakePlatform& fakes, LaunchAtLogin& launchAtLogin, SystemInfo& systemInfo) {
    const Platform p = fakes.platform();
    return Platform{p.clock,        p.console,      p.mainQueue,   p.defaults, p.urlSession,
                    p.sleeper,      p.application,  p.statusBar,   p.alerts,   p.workspace,
                    p.systemEvents, p.serialNumber, launchAtLogin, systemInfo};
}

TEST(XdgAutostartTest, FollowsTheEntryAndItsSwitches) {
    TemporaryFolder config;
    const auto entry = config.path() / "autostart" / XdgAutostart::entryName;
    XdgAutostart autostart(QStringLiteral("/opt/talverin timestamp/bin/talverin-timestamp"),
                           QString::fromStdString(entry.string()));
    EXPECT_FALSE(autostart.isEnabled());

    autostart.setEnabled(true);
    EXPECT_TRUE(autostart.isEnabled());
    const std::string text = readFile(entry);
    EXPECT_THAT(text, HasSubstr("[Desktop Entry]\nType=Application\n"));
    EXPECT_THAT(text, HasSubstr("Exec=\"/opt/talverin timestamp/bin/talverin-timestamp\"\n"));

    writeFile(entry, "[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n");
    EXPECT_FALSE(autostart.isEnabled());
    writeFile(entry, "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(autostart.isEnabled());
    // Keys of another group do not count.
    writeFile(entry, "[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n");
    EXPECT_TRUE(autostart.isEnabled());

    autostart.setEnabled(false);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(autostart.isEnabled());
}

TEST(XdgAutostartTest, StartUpSwitchesLaunchAtLoginOnAgainAfterTheUserSwitchedItOff) {
    FakePlatform fakes;
    TemporaryFolder config;
    const auto entry = config.path() / "autostart" / XdgAutostart::entryName;
    writeFile(entry, "[Desktop Entry]\nType=Application\nExec=/usr/bin/talverin-timestamp\n"
                     "X-GNOME-Autostart-enabled=false\n");
    XdgAutostart autostart(QStringLiteral("/usr/bin/talverin-timestamp"),
                           QString::fromStdString(entry.string()));
    AppDelegate delegate(withReal(fakes, autostart, fakes.systemInfo),
                         {"https://talverin.example"});
    delegate.applicationDidFinishLaunching();

    EXPECT_TRUE(autostart.isEnabled());
    EXPECT_THAT(readFile(entry), HasSubstr("X-GNOME-Autostart-enabled=true"));
    EXPECT_EQ(fakes.journal.entriesStartingWith("log: ").at(0), "自動起動の設定：true");
    EXPECT_TRUE(fakes.alerts.shown.empty());
}

TEST(ServiceOriginTest, AcceptsOnlyHttpsOrLoopbackHttp) {
    EXPECT_EQ(ServiceOrigin::validated("https://talverin.example"), "https://talverin.example");
    EXPECT_EQ(ServiceOrigin::validated("https://talverin.example/"), "https://talverin.example");
    EXPECT_EQ(ServiceOrigin::validated("https://127.0.0.1:8443"), "https://127.0.0.1:8443");
    EXPECT_EQ(ServiceOrigin::validated("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
    EXPECT_EQ(ServiceOrigin::validated("http://localhost:8080"), "http://localhost:8080");
    EXPECT_EQ(ServiceOrigin::validated("http://[::1]:8080"), "http://[::1]:8080");
    for (const char* wrong :
         {"", "talverin.example", "//talverin.example", "http://talverin.example",
          "http://10.0.0.1", "ftp://talverin.example", "https://",
          "https://user:pw@talverin.example", "https://talverin.example/api",
          "https://talverin.example?x=1", "https://talverin.example#top",
          "https://talver in.example", "file:///etc/passwd"}) {
        EXPECT_EQ(ServiceOrigin::validated(wrong), std::nullopt) << wrong;
    }
}

TEST(LinuxSystemInfoTest, ReportsKernelZoneAndDaylightSaving) {
    EXPECT_EQ(LinuxSystemInfo::parseKernelRelease("6.1.0-18-amd64").majorVersion, 6);
    const auto release = LinuxSystemInfo::parseKernelRelease("5.15.133.1-microsoft-standard");
    EXPECT_EQ((std::vector<long>{release.majorVersion, release.minorVersion, release.patchVersion}),
              (std::vector<long>{5, 15, 133}));
    const auto shortRelease = LinuxSystemInfo::parseKernelRelease("6.7-rc1");
    EXPECT_EQ((std::vector<long>{shortRelease.majorVersion, shortRelease.minorVersion,
                                 shortRelease.patchVersion}),
              (std::vector<long>{6, 7, 0}));
    EXPECT_EQ(LinuxSystemInfo::zoneNameFrom(":/usr/share/zoneinfo/Europe/Berlin"), "Europe/Berlin");
    EXPECT_EQ(LinuxSystemInfo::zoneNameFrom("../usr/share/zoneinfo/Asia/Tokyo"), "Asia/Tokyo");
    EXPECT_EQ(LinuxSystemInfo::zoneNameFrom("Asia/Tokyo\n"), "Asia/Tokyo");

    ScopedTimeZone newYork("America/New_York");
    LinuxSystemInfo info;
    EXPECT_EQ(info.timeZoneIdentifier(), "America/New_York");
    EXPECT_TRUE(info.isDaylightSavingTime(localTime(2024, 7, 1, 12, 0, 0)));
    EXPECT_FALSE(info.isDaylightSavingTime(localTime(2024, 1, 15, 12, 0, 0)));
}

TEST(LinuxSystemInfoTest, EnvironmentReportSaysTrueInDaylightSavingTime) {
    FakePlatform fakes;
    ScopedTimeZone newYork("America/New_York");
    fakes.clock.current = localTime(2024, 7, 1, 9, 0, 0);
    ScopedEnvironmentVariable home("HOME", fakes.home.path().string());
    LinuxSystemInfo info;
    AppDelegate delegate(withReal(fakes, fakes.launchAtLogin, info), {"https://talverin.example"});
    delegate.applicationDidFinishLaunching();
    EXPECT_THAT(fakes.journal.entries(),
                ::testing::Contains("log: TimeZone: America/New_York / IsDaylightSaving: true"));
}

} // namespace
} // namespace talverin
