#pragma once

#include "platform/LaunchAtLogin.h"

#include <QString>

namespace talverin {

// Launch at login as an XDG autostart entry. The entry counts as enabled when it exists and
// neither hides itself nor is switched off for GNOME; switching off removes it.
class XdgAutostart final : public LaunchAtLogin {
public:
    static constexpr const char* entryName = "com.talverin.Timestamp.desktop";

    // executable: what the entry starts; entryPath: where it lives.
    XdgAutostart(QString executable, QString entryPath);

    // $XDG_CONFIG_HOME/autostart/com.talverin.Timestamp.desktop, ~/.config when unset.
    static QString defaultEntryPath();

    bool isEnabled() override;
    void setEnabled(bool enabled) override;

private:
    QString entryText() const;

    QString executable_;
    QString entryPath_;
};

} // namespace talverin
