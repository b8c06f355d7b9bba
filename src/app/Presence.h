#pragma once

#include <atomic>

namespace talverin {

// The user's presence: there while the session is unlocked and the machine awake, and until a
// power-off, a log-out or a quit ends the day. Each source of events sets its own part; a change
// is real only when the whole turns, so each one is stamped once however many sources report it.
class Presence {
public:
    enum class Change { none, began, ended };

    explicit Presence(bool screenLocked) : screenLocked_(screenLocked), present_(!screenLocked) {}

    Change screenLocked(bool locked) { return update(screenLocked_, locked); }
    Change sleeping(bool asleep) { return update(asleep_, asleep); }
    Change poweringOff(bool announced) { return update(poweringOff_, announced); }
    Change sessionEnding(bool ending) { return update(sessionEnding_, ending); }
    // A quit is never called off: the agent ends.
    Change quitting() { return update(quitting_, true); }

    // Read from any thread: the process may be ended from another one.
    bool isPresent() const { return present_; }

private:
    Change update(bool& part, bool value);

    bool screenLocked_;
    bool asleep_ = false;
    bool poweringOff_ = false;
    bool sessionEnding_ = false;
    bool quitting_ = false;
    std::atomic<bool> present_;
};

} // namespace talverin
