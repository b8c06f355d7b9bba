#pragma once

#include <functional>

namespace talverin {

// Desktop events, each delivered on the main thread. "Locked" and "unlocked" are the user's
// presence: present while the screen is unlocked and the machine awake. They see one call per real
// change, however many sources report it.
class SystemEvents {
public:
    virtual ~SystemEvents() = default;
    virtual void observeWillPowerOff(std::function<void()> handler) = 0;
    // The power-off announced before was called off.
    virtual void observePowerOffCancelled(std::function<void()> handler) = 0;
    virtual void observeScreenLocked(std::function<void()> handler) = 0;
    virtual void observeScreenUnlocked(std::function<void()> handler) = 0;
    // A leaving stamp has its outcome: a power-off or a sleep held back for it may go ahead.
    virtual void leavingStampSettled() = 0;
};

} // namespace talverin
