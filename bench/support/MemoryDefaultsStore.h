#pragma once

#include "platform/DefaultsStore.h"

#include <map>
#include <mutex>

namespace talverin::bench {

// The defaults in a map, so that a benchmark of the core measures the core and not a disk.
class MemoryDefaultsStore final : public DefaultsStore {
public:
    void setString(const std::string& key, const std::string& value) override;
    std::optional<std::string> stringForKey(const std::string& key) override;
    void removeObject(const std::string& key) override;
    std::vector<std::pair<std::string, StoredValue>> dictionaryRepresentation() override;

private:
    std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

} // namespace talverin::bench
