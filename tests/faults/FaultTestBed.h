#pragma once

#include "AgentTestBed.h"
#include "DiskFaults.h"

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace talverin::testing {

inline const std::string arrivalPath = "/api/osx/v1/stamp/arrival";
inline const std::string leavingPath = "/api/osx/v1/stamp/leaving";
inline const std::string arrivalLabel = "開始時の打刻";
inline const std::string leavingLabel = "終了時の打刻";

// The time part of a record's key: what follows its last "_".
std::string timeOfKey(const std::string& key);
// The stamp paths a record's key is sent to, by the labels it holds.
std::vector<std::string> pathsOfKey(const std::string& key);
// Whether the service took the stamp: 200, and for a leaving stamp also 201.
bool isAcceptance(const ServiceRequest& request);

// The private desktop of the agent test bed, with what the fault tests ask of it besides.
class FaultTestBed : public AgentTestBed {
public:
    // Every request the service has received; empty when its control port did not answer.
    std::vector<ServiceRequest> requests() const;

    bool hasLogLineStartingWith(const std::string& prefix) const;
    bool waitForRecordCount(std::size_t count, int timeoutMs = 20000) const;
    // The records in a store file other than the bed's own, such as one seen through another
    // process's mounts, read as records() reads them.
    static std::map<std::string, std::string> recordsInCopyOf(const std::filesystem::path& file);

    bool lockScreen() const { return controlLogind(QStringLiteral("SetLockedHint"), {true}); }
    bool unlockScreen() const { return controlLogind(QStringLiteral("SetLockedHint"), {false}); }

    // Started, its first arrival accepted and the acceptance logged.
    std::unique_ptr<AgentProcess> startAcceptedAgent() const;
    // Started inside a mount namespace that lays the disk faults over its folders.
    std::unique_ptr<AgentProcess> startAgent(const DiskFaults& faults) const;
    using AgentTestBed::startAgent;

    // Waits until no agent owns the bus name, so that the next one starts as the only one.
    bool waitUntilNoAgentIsRunning(int timeoutMs = 10000) const;

    // Ends the service and starts another in its place, on the same port, serving certificate.
    bool replaceService(const std::filesystem::path& certificate, const std::filesystem::path& key);
    bool replaceService();

    // A certificate signed by the test authority for another host name only, and its key.
    std::filesystem::path otherHostCertificate() const;
    std::filesystem::path otherHostKey() const;

    // The keys whose stamp the service never accepted on its kind's path with the key's own time,
    // each with what the service did receive for that time.
    std::vector<std::string> stampsNeverAccepted(const std::set<std::string>& keys) const;

    // The last lines of the log and of the agent's console, and what the service did: for the
    // text of a failure.
    std::string recentActivity(AgentProcess& agent) const;

    std::filesystem::path storeFolder() const { return storeFile().parent_path(); }
    std::filesystem::path logFolder() const { return home / "Library" / "Logs"; }
};

// Waits until the wall clock has begun a new second: a stamp made after this never shares its
// key with one made before.
void waitForTheNextSecond();

// The bytes of a file, or "" when it cannot be read.
std::string fileBytes(const std::filesystem::path& file);
// The names in a folder, sorted.
std::vector<std::string> folderListing(const std::filesystem::path& folder);

} // namespace talverin::testing
