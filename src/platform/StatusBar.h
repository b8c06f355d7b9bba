#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace talverin {

struct MenuItem {
    std::string title;
    std::function<void()> action;
    std::string keyEquivalent;
};

struct Menu {
    std::string title;
    std::vector<MenuItem> items;
};

// The item in the desktop's tray.
class StatusItem {
public:
    virtual ~StatusItem() = default;
    virtual bool hasButton() const = 0;
    virtual void setImage(const std::string& imageName) = 0;
    virtual void setMenu(Menu menu) = 0;
    // Several lines; shown when the pointer rests on the item.
    virtual void setToolTip(const std::string& text) = 0;
};

class StatusBar {
public:
    static constexpr double squareLength = -2.0;
    virtual ~StatusBar() = default;
    virtual std::unique_ptr<StatusItem> statusItemWithLength(double length) = 0;
};

} // namespace talverin
