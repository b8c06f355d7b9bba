#pragma once

#include "DesktopDriver.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <optional>
#include <string>

namespace talverin::testing {

// An XEmbed system tray (trayer) docked at the top right of the screen, the way a panel offers
// one. Ended by its process id with the object.
class TrayHost {
public:
    explicit TrayHost(const QProcessEnvironment& displayEnvironment);
    ~TrayHost();
    TrayHost(const TrayHost&) = delete;
    TrayHost& operator=(const TrayHost&) = delete;

    bool isRunning() const { return host_.state() == QProcess::Running && panel_.has_value(); }
    const std::string& errorText() const { return errorText_; }
    // Where the panel is now: it grows as icons dock.
    QRect panelFrame();

    // The agent's icon embedded in the tray, once it is there and on screen.
    std::optional<XWindow> agentIcon();
    std::optional<XWindow> waitForAgentIcon(int timeoutMs = 30000);

private:
    QProcess host_;
    DesktopDriver driver_;
    std::optional<XWindow> panel_;
    std::string errorText_;
};

} // namespace talverin::testing
