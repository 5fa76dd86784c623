#include "formats/FF_PNM.h"

#include "runtime/Errors.h"

namespace kelvora {

// Placeholder until the reader lands in this file.
void PNMLoad(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void PNMInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }

}  // namespace kelvora
