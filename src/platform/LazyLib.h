#pragma once
// Libraries the programs load when first called rather than at start-up: the codec libraries,
// the sound output's SDL2, libtiff and libXpm (see the KV_LAZY_LIBS build option). Their
// functions are reached through stubs of the same names; the first call of any of a library's
// functions loads it by its soname. A library that cannot be loaded then ends the program
// with a message, so callers that can go on without one (the sound output without SDL2) ask
// LazyLibLoad first. In a build that links the libraries directly everything is loaded at
// start and LazyLibLoad answers true.

#include <string>

namespace kelvora {

// Loads the library whose soname starts with `stem` ("libSDL2", "libavcodec"); false, with
// the loader's reason in `why`, when it cannot be loaded or is not one of the lazy libraries.
bool LazyLibLoad(const std::string& stem, std::string& why);

}  // namespace kelvora
