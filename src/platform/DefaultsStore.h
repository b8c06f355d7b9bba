#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace talverin {

// One stored value as the core sees it: its text, or nothing when the value is not text.
struct StoredValue {
    std::optional<std::string> text;
};

// The user's persistent key-value store. Every call is safe from several threads at once and
// returns within a bound; a value is on disk when setString returns, unless the disk did not take
// it within that bound: then it is kept, and reaches the disk as soon as the disk takes it.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    // The text under key, or nothing when there is no entry or no text for it.
    virtual std::optional<std::string> stringForKey(const std::string& key) = 0;
    virtual void removeObject(const std::string& key) = 0;
    // Every key in the store at one moment, with its value.
    virtual std::vector<std::pair<std::string, StoredValue>> dictionaryRepresentation() = 0;
};

} // namespace talverin
