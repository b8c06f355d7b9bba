#pragma once

namespace talverin {

// Whether the agent starts when the user logs in. A read after a set gives the state in force.
class LaunchAtLogin {
public:
    virtual ~LaunchAtLogin() = default;
    virtual bool isEnabled() = 0;
    virtual void setEnabled(bool enabled) = 0;
};

} // namespace talverin
