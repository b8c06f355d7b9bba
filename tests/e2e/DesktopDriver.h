#pragma once

#include <QImage>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

namespace talverin::testing {

// One window as the X server shows it.
struct XWindow {
    QString id; // decimal, as xdotool prints it
    QString title;
    QRect frame;       // absolute position on the screen
    QStringList types; // _NET_WM_WINDOW_TYPE, e.g. "_NET_WM_WINDOW_TYPE_DIALOG"
    bool overrideRedirect = false;

    bool isDialog() const { return types.contains(QStringLiteral("_NET_WM_WINDOW_TYPE_DIALOG")); }
    // Without a window manager Qt marks a menu only as a window that bypasses it; a tooltip does
    // the same but is one line high, and the embedded tray icon is smaller still.
    bool isPopupMenu() const { return overrideRedirect && !isDialog() && frame.height() >= 40; }
};

// Drives one X display the way a user does, through the standard X tools: finds windows, moves
// the pointer and clicks, presses keys, and takes pictures of the screen.
class DesktopDriver {
public:
    explicit DesktopDriver(QProcessEnvironment environment);

    // The agent's windows that are on screen now (menus, message boxes, the tray icon).
    std::vector<XWindow> agentWindows();
    std::optional<XWindow> window(const QString& id);
    // Waits until one of the agent's windows satisfies wanted; the first such.
    std::optional<XWindow> waitForAgentWindow(const std::function<bool(const XWindow&)>& wanted,
                                              int timeoutMs = 30000);
    std::optional<XWindow> waitForDialog(int timeoutMs = 30000);
    std::optional<XWindow> waitForPopupMenu(int timeoutMs = 30000);
    bool waitUntilClosed(const XWindow& window, int timeoutMs = 30000);

    bool click(QPoint point);
    // Gives the window the keyboard focus (there is no window manager to do it), then types key.
    bool pressKey(const XWindow& window, const QString& key);

    // A picture of part of the screen, or a null image.
    QImage capture(const QRect& area);
    bool saveCapture(const QRect& area, const std::filesystem::path& file);

    // Runs an X tool against the display; its standard output, or nothing when it failed.
    std::optional<QString> run(const QString& program, const QStringList& arguments,
                               int timeoutMs = 30000) const;

private:
    QProcessEnvironment environment_;
};

// Waits, serving the test's event loop, until condition holds; polls at a pace that leaves the
// machine's cores to the agent and the X server.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 30000);

// Item index (0 = first) of a menu whose items all have the same height: the middle of its band.
QPoint menuItemCentre(const XWindow& menu, int index, int itemCount);

} // namespace talverin::testing
