#pragma once
// Small records the launcher keeps for the user between launches, in the user's local
// application data. Neither function logs or throws.
#include <string>
#include <string_view>

// The folder of this user's local application data: %LOCALAPPDATA% on Windows; on POSIX
// $XDG_STATE_HOME when it is an absolute path, else $HOME/.local/state. Empty when the
// environment names none.
std::u16string LocalStateFolder();

// Replaces the file's content with bytes as one step: written to a new file beside it, flushed
// to the disk and renamed over it, so a reader finds the old content or the new one, never a
// part. False when any step failed (then the old file is untouched).
bool ReplaceFileAtomically(const std::u16string& path, std::string_view bytes);
