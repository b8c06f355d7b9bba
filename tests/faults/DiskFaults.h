#pragma once

#include <QProcessEnvironment>
#include <QStringList>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace talverin::testing {

// Disk faults that the agent meets inside a mount namespace of its own (with-disk-faults.sh):
// a read-only folder, or a folder on a small disk of its own, full from the start or not.
struct DiskFaults {
    std::optional<std::filesystem::path> readOnlyFolder;
    std::optional<std::filesystem::path> smallDiskFolder;
    std::string smallDiskSize = "1m";
    bool smallDiskFull = false;

    // The wrapper command the agent runs under.
    static QStringList wrapper();
    // environment, with what the wrapper reads added.
    QProcessEnvironment applyTo(QProcessEnvironment environment) const;
};

// A file of a running process as that process sees it, through its own mounts.
std::filesystem::path asSeenBy(std::int64_t processId, const std::filesystem::path& file);

// Writes zeros into file until the disk it is on has no room left; the bytes written.
std::uintmax_t fillDisk(const std::filesystem::path& file);

} // namespace talverin::testing
