#pragma once

#include <string>

namespace talverin {

// Standard output, one line per call. Safe to call from any thread; a line is never torn.
class Console {
public:
    virtual ~Console() = default;
    virtual void printLine(const std::string& line) = 0;
};

} // namespace talverin
