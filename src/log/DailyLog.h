#pragma once

#include <functional>
#include <string>

namespace talverin {

class Clock;

// Appends timestamped lines to the day's file under $HOME/Library/Logs. Keeps nothing open and
// never reports a failure: the agent's work goes on whatever happens to its log.
class DailyLog {
public:
    DailyLog(const Clock& clock, std::function<std::string()> homeDirectory);

    void write(const std::string& message) const;

private:
    const Clock& clock_;
    std::function<std::string()> homeDirectory_;
};

} // namespace talverin
