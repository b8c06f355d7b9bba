#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>

namespace talverin {

class AppDelegate;

// The agent's commands on the session bus. Every method returns at once: the command itself,
// and any dialog it shows, runs afterwards on the main thread, never inside the bus call.
class DbusCommands final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.talverin.Timestamp1")
public:
    static constexpr const char* serviceName = "com.talverin.Timestamp";
    static constexpr const char* objectPath = "/com/talverin/Timestamp";

    explicit DbusCommands(AppDelegate& delegate);

public Q_SLOTS:
    void about();
    void toSite();
    void quit();
    void arriveNow();
    void leaveNow();
    void automaticLaunchManual();
    void automaticLaunchWithManualSetting(bool manualSetting);
    void leaveWithUnSentKey(const QString& unSentKey);

private:
    template <typename Work> void later(Work work);

    AppDelegate& delegate_;
};

} // namespace talverin
