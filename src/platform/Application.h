#pragma once

namespace talverin {

// The running application and its termination protocol. terminate() makes a termination request,
// which the runner hands to the delegate's applicationShouldTerminate; a request answered
// TerminateReply::Later stays held until replyToApplicationShouldTerminate(true). A request made
// while termination is already under way starts no new cycle.
class Application {
public:
    virtual ~Application() = default;
    virtual void terminate() = 0;
    virtual void replyToApplicationShouldTerminate(bool shouldTerminate) = 0;
};

} // namespace talverin
