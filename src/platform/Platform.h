#pragma once

#include "platform/Alerts.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/DefaultsStore.h"
#include "platform/LaunchAtLogin.h"
#include "platform/MainQueue.h"
#include "platform/SerialNumberSource.h"
#include "platform/Sleeper.h"
#include "platform/StatusBar.h"
#include "platform/SystemEvents.h"
#include "platform/SystemInfo.h"
#include "platform/UrlSession.h"
#include "platform/Workspace.h"

namespace talverin {

// Every outside service the core uses, handed to the delegate in one piece.
struct Platform {
    Clock& clock;
    Console& console;
    MainQueue& mainQueue;
    DefaultsStore& defaults;
    UrlSession& urlSession;
    Sleeper& sleeper;
    Application& application;
    StatusBar& statusBar;
    Alerts& alerts;
    Workspace& workspace;
    SystemEvents& systemEvents;
    SerialNumberSource& serialNumber;
    LaunchAtLogin& launchAtLogin;
    SystemInfo& systemInfo;
};

} // namespace talverin
