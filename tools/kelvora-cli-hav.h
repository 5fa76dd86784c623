#pragma once
// kelvora-cli's HAV commands: hav-encode (a movie from still pictures and raw PCM sound) and
// the random-access frame load behind export of movie frames.

#include <cstdint>
#include <string>
#include <vector>

#include "image/ImgBasic.h"

namespace kelvora {

// The usage lines of hav-encode, for the program's help text.
extern const char* const kCliHavEncodeUsage;

// hav-encode with the arguments after the command name. Messages go to standard error; the
// result is the exit status: 0 success, 1 reported error, 2 bad usage.
int CliHavEncode(const std::vector<std::string>& args);

// Loads frame `frame` (from 1) of a movie by random access (mode 0: from its key frame), so
// that any frame can be exported on its own. A monitored routine: a frame outside the movie
// raises (ERR_MVI, 7) "End of movie reached." (below 1: (ERR_MVI, 1)), the reader's errors pass
// on. HAV movies for now; the other movie formats follow with the movie layer.
void CliLoadMovieFrame(const std::string& fileName, int32_t frame, Qimg& image);

}  // namespace kelvora
