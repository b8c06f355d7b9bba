#pragma once

#include <string>

namespace talverin {

// The user's home folder: HOME, else the account's entry, read in a way that is safe from any
// thread. Empty when neither names one.
std::string homeFolder();

} // namespace talverin
