#pragma once

#include <string>

// Starting Pellora at login, through an XDG autostart entry. Sync tools start at login unless
// the user says otherwise: the entry is written at the first start, and a user who turns it off
// is remembered in the standard defaults ("start-at-login"), so it is not written again.
// Main thread only.
namespace KTLStartAtLogin {

// $XDG_CONFIG_HOME/autostart/com.orvane.Pellora.desktop.
std::string entryPath();
// Whether Pellora starts at login: the entry is there.
bool isEnabled();
// Writes or removes the entry and remembers the choice; false, with the reason, when the entry
// could not be written or removed.
bool setEnabled(bool enabled, std::string* error = nullptr);
// At every start: the first one (no choice remembered yet) turns it on.
void applyAtStart();

}  // namespace KTLStartAtLogin
