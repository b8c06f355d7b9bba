#pragma once

#include "platform/Platform.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace talverin::fuzzing {

// The smallest platform an AppDelegate can run on: a store in memory, a URL session that only
// records what it is asked, and everything else quiet. The log goes nowhere: its home has no
// folder of its own, so a long fuzzing run fills no disk.
class FuzzPlatform {
public:
    struct Store final : DefaultsStore {
        void setString(const std::string& key, const std::string& value) override {
            values[key] = value;
        }
        std::optional<std::string> stringForKey(const std::string& key) override {
            const auto found = values.find(key);
            return found == values.end() ? std::nullopt : std::optional(found->second);
        }
        void removeObject(const std::string& key) override { values.erase(key); }
        std::vector<std::pair<std::string, StoredValue>> dictionaryRepresentation() override {
            std::vector<std::pair<std::string, StoredValue>> entries;
            for (const auto& [key, value] : values) {
                entries.emplace_back(key, StoredValue{value});
            }
            return entries;
        }
        std::map<std::string, std::string> values;
    };

    struct Session final : UrlSession {
        struct Task {
            HttpRequest request;
            TransferCompletion completion;
        };
        void dataTask(const HttpRequest& request, TransferCompletion completion) override {
            tasks.push_back(Task{request, std::move(completion)});
        }
        std::vector<Task> tasks;
    };

    struct Queue final : MainQueue {
        void async(std::function<void()> work) override { pending.push_back(std::move(work)); }
        std::vector<std::function<void()>> pending;
    };

    struct FixedClock final : Clock {
        std::chrono::system_clock::time_point now() const override { return instant; }
        std::chrono::system_clock::time_point instant{std::chrono::seconds(1711928000)};
    };

    struct Quiet final : Console,
                         Sleeper,
                         Application,
                         StatusBar,
                         Alerts,
                         Workspace,
                         SystemEvents,
                         SerialNumberSource,
                         LaunchAtLogin,
                         SystemInfo {
        struct Item final : StatusItem {
            bool hasButton() const override { return false; }
            void setImage(const std::string&) override {}
            void setMenu(Menu) override {}
        };
        void printLine(const std::string&) override {}
        void sleepMicroseconds(std::uint32_t) override {}
        void terminate() override {}
        void replyToApplicationShouldTerminate(bool) override {}
        std::unique_ptr<StatusItem> statusItemWithLength(double) override {
            return std::make_unique<Item>();
        }
        void runModal(const Alert&) override {}
        void openUrl(const std::string&) override {}
        void observeWillPowerOff(std::function<void()>) override {}
        void observeScreenLocked(std::function<void()>) override {}
        void observeScreenUnlocked(std::function<void()>) override {}
        std::optional<std::string> read() override { return serial; }
        bool isEnabled() override { return true; }
        void setEnabled(bool) override {}
        OperatingSystemVersion operatingSystemVersion() override { return {}; }
        std::string shortVersionString() override { return "1.0"; }
        std::string bundleVersion() override { return "1"; }
        std::string timeZoneIdentifier() override { return "UTC"; }
        bool isDaylightSavingTime(std::chrono::system_clock::time_point) override { return false; }
        std::string homeDirectory() override { return "/dev/null"; }

        std::optional<std::string> serial = "C02FUZZ";
    };

    Platform platform() {
        return Platform{clock, quiet, queue, store, session, quiet, quiet,
                        quiet, quiet, quiet, quiet, quiet,   quiet, quiet};
    }

    FixedClock clock;
    Quiet quiet;
    Queue queue;
    Store store;
    Session session;
};

} // namespace talverin::fuzzing
