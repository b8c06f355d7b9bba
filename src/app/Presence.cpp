#include "app/Presence.h"

namespace talverin {

Presence::Change Presence::update(bool& part, bool value) {
    part = value;
    const bool present =
        !screenLocked_ && !asleep_ && !poweringOff_ && !sessionEnding_ && !quitting_;
    if (present == present_) {
        return Change::none;
    }
    present_ = present;
    return present ? Change::began : Change::ended;
}

} // namespace talverin
