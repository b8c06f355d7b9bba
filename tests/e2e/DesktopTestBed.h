#pragma once

#include "AgentTestBed.h"
#include "DesktopDriver.h"
#include "TrayHost.h"
#include "VirtualDisplay.h"

#include <QDateTime>

#include <memory>
#include <string>
#include <vector>

namespace talverin::testing {

// A whole desktop of the test's own around the agent: the private buses, logind, the stamp
// service and HOME of AgentTestBed, plus an X display with (optionally) an XEmbed tray host, the
// screensavers, (optionally) a StatusNotifierWatcher, and a web browser that only notes what it
// was asked to open. The agent runs on X (xcb) in Asia/Tokyo.
class DesktopTestBed {
public:
    struct Options {
        bool trayHost = true;
        bool statusNotifierWatcher = false;
    };

    explicit DesktopTestBed(Options options);

    // Empty when everything started; otherwise what did not.
    std::string problem() const;

    QProcessEnvironment environment() const;
    std::unique_ptr<AgentProcess> startAgent() const;
    // Started on a machine without any serial number.
    std::unique_ptr<AgentProcess> startAgentWithoutSerial() const;

    // One ActiveChanged(active) from a screensaver's object on the session bus.
    bool emitScreenSaverActiveChanged(const QString& interface, const QString& path,
                                      bool active) const;
    // Every URL the browser was asked to open, in order.
    std::vector<std::string> openedUrls() const;
    // Empty when every log line carries a time of this run on Asia/Tokyo's wall clock and the
    // times never go back; otherwise the first line that does not. (Unit tests pin the form.)
    std::string logProblem() const;
    std::string autostartEntryText() const;

    QDateTime started = QDateTime::currentDateTimeUtc();
    AgentTestBed agent;
    VirtualDisplay display;
    DesktopDriver driver{display.clientEnvironment()};
    std::unique_ptr<TrayHost> tray;
    std::unique_ptr<BusServiceProcess> screenSavers;
    std::unique_ptr<BusServiceProcess> statusNotifierWatcher;
    std::filesystem::path programs = agent.root.path() / "bin";
    std::filesystem::path openedUrlsFile = agent.root.path() / "opened-urls";
    std::filesystem::path runtimeDirectory = agent.root.path() / "runtime";

private:
    bool wantsTrayHost_;
    bool wantsWatcher_;
};

} // namespace talverin::testing
