#include "MemoryDefaultsStore.h"

namespace talverin::bench {

void MemoryDefaultsStore::setString(const std::string& key, const std::string& value) {
    const std::lock_guard lock(mutex_);
    values_[key] = value;
}

std::optional<std::string> MemoryDefaultsStore::stringForKey(const std::string& key) {
    const std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void MemoryDefaultsStore::removeObject(const std::string& key) {
    const std::lock_guard lock(mutex_);
    values_.erase(key);
}

std::vector<std::pair<std::string, StoredValue>> MemoryDefaultsStore::dictionaryRepresentation() {
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, StoredValue>> entries;
    entries.reserve(values_.size());
    for (const auto& [key, value] : values_) {
        entries.emplace_back(key, StoredValue{value});
    }
    return entries;
}

} // namespace talverin::bench
