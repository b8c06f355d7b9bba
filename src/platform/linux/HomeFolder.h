#pragma once

#include <pwd.h>
#include <string>

namespace talverin {

// One field of the user's account entry (pw_name, pw_dir, ...), read in a way that is safe from
// any thread. Empty when the account has no entry.
std::string accountField(char* passwd::*field);

// The user's home folder: HOME, else the account's entry. Empty when neither names one.
std::string homeFolder();

} // namespace talverin
