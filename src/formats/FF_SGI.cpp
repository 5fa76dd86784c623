#include "formats/FF_SGI.h"

#include "runtime/Errors.h"

namespace kelvora {

// Placeholder until the reader lands in this file.
void SGILoad(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void SGIInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }

}  // namespace kelvora
