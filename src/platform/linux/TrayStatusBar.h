#pragma once

#include "platform/StatusBar.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include <memory>

namespace talverin {

// The agent's tray icon with its menu. Without a tray host the item waits; Qt shows it as soon
// as a host appears.
class TrayStatusItem final : public StatusItem {
public:
    TrayStatusItem();
    ~TrayStatusItem() override;

    bool hasButton() const override { return true; }
    void setImage(const std::string& imageName) override;
    void setMenu(Menu menu) override;
    void setToolTip(const std::string& text) override;

    QSystemTrayIcon& trayIcon() { return icon_; }

private:
    QSystemTrayIcon icon_;
    std::unique_ptr<QMenu> menu_;
};

// Without a display there is no tray to show an item in: the item keeps its menu and shows
// nothing, and no tray icon is made at all (the toolkit would only complain about it).
class TrayStatusBar final : public StatusBar {
public:
    explicit TrayStatusBar(bool headless) : headless_(headless) {}
    std::unique_ptr<StatusItem> statusItemWithLength(double length) override;

private:
    bool headless_;
};

} // namespace talverin
