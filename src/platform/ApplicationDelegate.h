#pragma once

namespace talverin {

// The answer to a termination request.
enum class TerminateReply : unsigned { Cancel = 0, Now = 1, Later = 2 };

// What the application runner calls back into.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual TerminateReply applicationShouldTerminate() = 0;
    virtual void applicationWillTerminate() = 0;
};

} // namespace talverin
