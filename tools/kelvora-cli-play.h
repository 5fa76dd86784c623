#pragma once
// kelvora-cli's play command: plays a file through the player engine with a display that has
// no window, printing a status line about five times a second.

#include <string>
#include <vector>

namespace kelvora {

extern const char* const kCliPlayUsage;

// play with the arguments after the command name; the result is the exit status: 0 at the end
// of playback, 1 with the player's message on failure, 2 on bad usage, 130 when interrupted.
int CliPlay(const std::vector<std::string>& args);

}  // namespace kelvora
