#pragma once

#include <functional>
#include <optional>

namespace talverin {

// What the desktop holds back for the agent's leaving stamp: a sleep or a power-off, and the end
// of the session. Each is let go when that stamp has its outcome, or when none is needed; the
// platform lets it go by itself after a few seconds at the latest.
enum class Hold { sleep, powerOff, sessionEnd };

// The desktop's raw events, in the agent's terms, each delivered on the main thread. A source
// reports what it saw; several sources may report the same change, and the agent decides which
// changes are real.
struct SystemEventObservers {
    std::function<void(bool locked)> screenLocked;  // a lock screen shown, or gone
    std::function<void(bool asleep)> sleeping;      // the machine goes to sleep, or woke
    std::function<void(bool announced)> powerOff;   // a power-off announced, or called off
    std::function<void(bool ending)> sessionEnding; // the user logs out, or called it off
    std::function<void()> networkBack;              // the system reports the network reachable
};

class SystemEvents {
public:
    virtual ~SystemEvents() = default;
    // Once, at start-up: from then on the events are reported and the holds are kept.
    virtual void observe(SystemEventObservers observers) = 0;
    // Whether a lock screen was shown when the agent started.
    virtual bool isScreenLocked() = 0;
    // Whether the network is reachable now; nothing when the system cannot tell.
    virtual std::optional<bool> isNetworkReachable() = 0;
    virtual void release(Hold hold) = 0;
};

} // namespace talverin
