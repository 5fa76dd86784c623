#pragma once
// kelvora-cli's HAV command hav-encode (a movie from any files the unified media layer opens:
// movies, numbered still sequences, stills; with their sound or raw PCM sound), and the open
// step through the unified layer that every command shares.

#include <string>
#include <vector>

#include "media/ConForm.h"

namespace kelvora {

// Shared by the commands: prints "kelvora-cli: " + what on standard error and returns 1.
int CliFail(const std::string& what);
// A whole decimal number within [low, high]; false for anything else.
bool CliParseInt(const std::string& text, long low, long high, long& value);

// The usage lines of hav-encode, for the program's help text.
extern const char* const kCliHavEncodeUsage;

// hav-encode with the arguments after the command name. Messages go to standard error; the
// result is the exit status: 0 success, 1 reported error, 2 bad usage.
int CliHavEncode(const std::vector<std::string>& args);

// Describes the file through the unified layer, widening a still into a numbered sequence as
// the player does. Returns "" on success, else the player's message: "File \"NAME\" is not
// supported." or "File \"NAME\" does not exist.".
std::string CliDescribe(const std::string& fileName, QUniInfo& info);
// Opens a described file; "" on success, else the file's name and the error.
std::string CliOpen(const QUniInfo& info, UniHandle& handle);

}  // namespace kelvora
