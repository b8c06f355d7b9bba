#pragma once

#include <functional>

namespace talverin {

// Desktop events, each delivered on the main thread. The screen observers see one call per real
// transition, however many sources report it.
class SystemEvents {
public:
    virtual ~SystemEvents() = default;
    virtual void observeWillPowerOff(std::function<void()> handler) = 0;
    virtual void observeScreenLocked(std::function<void()> handler) = 0;
    virtual void observeScreenUnlocked(std::function<void()> handler) = 0;
};

} // namespace talverin
