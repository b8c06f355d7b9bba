#pragma once

#include <string>

namespace talverin {

enum class StampKind { arrival, leaving };

// Everything that differs between the arrival and the leaving stamp.
struct StampKindTraits {
    const char* label;
    const char* callLine;
    const char* pathAndQuery;
    const char* endpointPrefix;
    const char* noUrlText;
    const char* successLogPrefix;
    const char* refusalLogPrefix;
    const char* notDeliveredLogPrefix;
};

const StampKindTraits& traitsOf(StampKind kind);

// Whether a stored key names an unsent stamp record: it holds one of the stamps' labels.
bool isUnsentKey(const std::string& key);

// Whether the service counts a status as having taken the stamp.
bool isAcceptedStatus(StampKind kind, int statusCode);

} // namespace talverin
