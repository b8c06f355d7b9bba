#pragma once

#include <string>

namespace talverin {

// Hands web addresses to the user's browser.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual void openUrl(const std::string& url) = 0;
};

} // namespace talverin
