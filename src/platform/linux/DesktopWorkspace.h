#pragma once

#include "platform/Workspace.h"

namespace talverin {

class DesktopWorkspace final : public Workspace {
public:
    void openUrl(const std::string& url) override;
};

} // namespace talverin
