#pragma once
// Named values in one section of a profile file (ProfileFile): the program's own settings
// file and the entries it publishes in "win.ini".
//
// PrefsPrepare selects the file and the section; every read and write then goes there until
// the next selection. There is no cache: each call reads or rewrites the file at once.
// Nothing fails: a missing file, section or key (or an unusable stored text) reads as the
// default, and a refused write is ignored. Before a target is selected, reads give the
// default (an empty text for _PrefsReadStr and PrefsReadStr) and writes do nothing.
//
// The current target is one per process and is used from the window thread only.

#include <cstdint>
#include <string>

namespace kelvora {

// Longest stored text a read keeps, counting the terminating character of the system's
// buffer: 1023 characters.
constexpr uint32_t PREFS_BUFFER_SIZE = 1024;

void PrefsPrepare(const std::string& file, const std::string& section);

std::string _PrefsReadStr(const std::string& key, const std::string& def);
void _PrefsWriteStr(const std::string& key, const std::string& text);

void PrefsReadStr(const std::string& key, std::string& value, const std::string& def);
void PrefsWriteStr(const std::string& key, const std::string& value);

// A decimal integer with an optional sign; the default for anything else or out of range.
void PrefsReadInt(const std::string& key, int32_t& value, int32_t def);
void PrefsWriteInt(const std::string& key, int32_t value);

// Written "1" or "0"; read by the first character: "1", "T", "Y" (any case) true, "0", "F",
// "N" false, anything else the default.
void PrefsReadBool(const std::string& key, bool& value, bool def);
void PrefsWriteBool(const std::string& key, bool value);

// Written in fixed notation with 10 decimals ("15.0000000000"); read with "." as decimal
// point only (15,5 gives the default).
void PrefsReadFloat(const std::string& key, double& value, double def);
void PrefsWriteFloat(const std::string& key, double value);

// Asks the profile layer to commit the current file (the write with no section, key or value).
void PrefsFlushCache();

// Between PrefsBatchBegin and PrefsBatchEnd the writes to the selected section are collected
// and reach the file in one replacement at the end, so that a program stopped in between
// leaves the file with all the old values, never with a part of the new ones. Reads in between
// still see the file. Selecting another target ends the batch first.
void PrefsBatchBegin();
void PrefsBatchEnd();

}  // namespace kelvora
