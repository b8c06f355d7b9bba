#pragma once

#include "AgentProcess.h"
#include "FakePlatform.h"
#include "PrivateBus.h"
#include "StampServiceProcess.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talverin::testing {

// Everything the agent meets on a desktop, private to one test: a session bus and a system bus
// with a fake logind, the local stamp service over TLS with its own CA, a HOME with XDG folders,
// a serial-number file and a fixed time zone.
class AgentTestBed {
public:
    AgentTestBed();

    // Empty when everything started; otherwise what did not.
    std::string problem() const;

    QProcessEnvironment environment() const;
    std::unique_ptr<AgentProcess> startAgent() const;
    std::unique_ptr<AgentProcess> startAgent(const QProcessEnvironment& environment,
                                             bool hideHardwareSerial = false) const;

    // Every line of every daily log file as written, and the same without the timestamps.
    std::vector<std::string> rawLogLines() const;
    std::vector<std::string> logMessages() const;
    bool waitForLogLineStartingWith(const std::string& prefix, int timeoutMs = 30000) const;
    // The requests the service received for one path, in order.
    std::vector<ServiceRequest> requestsTo(const std::string& path) const;
    bool waitForRequests(const std::string& path, std::size_t count, int timeoutMs = 30000) const;
    // The unsent records on disk, read the way the agent stores them.
    std::map<std::string, std::string> records() const;
    // The same from any store file, opened with those SQLite flags; empty if it cannot be read.
    static std::map<std::string, std::string> recordsIn(const std::filesystem::path& file,
                                                        int openFlags);
    std::filesystem::path storeFile() const;
    std::filesystem::path autostartEntry() const;

    // Calls a method of the fake logind's test control interface.
    bool controlLogind(const QString& method, const QVariantList& arguments = {}) const;
    // Inhibitors the fake logind handed out: (what, mode, still held).
    std::vector<std::tuple<std::string, std::string, bool>> inhibitors() const;
    // Calls one of the agent's commands on the session bus.
    bool callAgent(const QString& method, const QVariantList& arguments = {}) const;

    TemporaryFolder root;
    PrivateBus sessionBus;
    PrivateBus systemBus;
    std::unique_ptr<BusServiceProcess> logind;
    TestCertificates certificates{root.path() / "ca"};
    std::unique_ptr<StampServiceProcess> service;
    std::filesystem::path home = root.path() / "home";
    std::filesystem::path serialFile = root.path() / "serial";
};

} // namespace talverin::testing
