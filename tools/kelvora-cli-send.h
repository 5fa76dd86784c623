#pragma once
// kelvora-cli's command send: asks a running player to open, play or close a file.

#include <string>
#include <vector>

namespace kelvora {

// The usage lines of send, for the program's help text.
extern const char* const kCliSendUsage;

// send with the arguments after the command name. The result is the exit status: 0 success,
// 1 reported error (no player found, no answer), 2 bad usage.
int CliSend(const std::vector<std::string>& args);

}  // namespace kelvora
