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

    QSystemTrayIcon& trayIcon() { return icon_; }

private:
    QSystemTrayIcon icon_;
    std::unique_ptr<QMenu> menu_;
};

class TrayStatusBar final : public StatusBar {
public:
    std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
};

} // namespace talverin
