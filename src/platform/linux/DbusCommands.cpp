#include "platform/linux/DbusCommands.h"

#include "app/AppDelegate.h"
#include "log/Utf8.h"

#include <QDBusError>
#include <QTimer>

namespace talverin {

DbusCommands::DbusCommands(AppDelegate& delegate) : delegate_(delegate) {}

template <typename Work> void DbusCommands::later(Work work) {
    QTimer::singleShot(0, this, std::move(work));
}

void DbusCommands::about() {
    later([this] { delegate_.about(); });
}

void DbusCommands::toSite() {
    later([this] { delegate_.toSite(); });
}

void DbusCommands::quit() {
    later([this] { delegate_.quit(); });
}

void DbusCommands::arriveNow() {
    later([this] { delegate_.arriveNow(); });
}

void DbusCommands::leaveNow() {
    later([this] { delegate_.leaveNow(); });
}

void DbusCommands::automaticLaunchManual() {
    later([this] { delegate_.automaticLaunchManual(); });
}

void DbusCommands::automaticLaunchWithManualSetting(bool manualSetting) {
    later([this, manualSetting] { delegate_.automaticLaunchWithManualSetting(manualSetting); });
}

void DbusCommands::leaveWithUnSentKey(const QString& unSentKey) {
    // Any client of the session bus may call this: it may only send a stored leaving record
    // again, never an arrival's time as a leaving stamp, nor a stamp without a time.
    const std::string key = unSentKey.toStdString();
    if (!delegate_.isUnsentLeavingKey(key)) {
        const std::string shownKey(utf8Prefix(key, 256)); // enough to tell which key it was
        delegate_.writeLog("leaveWithUnSentKey: 未送信の終了時の打刻ではありません:" + shownKey);
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("not an unsent leaving record: ") +
                                                    QString::fromStdString(shownKey));
        return;
    }
    later([this, key] {
        if (delegate_.isUnsentLeavingKey(key)) {
            delegate_.leaveWithUnSentKey(key, [] {});
        }
    });
}

} // namespace talverin
