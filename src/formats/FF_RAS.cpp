#include "formats/FF_RAS.h"

#include "runtime/Errors.h"

namespace kelvora {

// Placeholder until the reader lands in this file.
void RASLoad(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void RASInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }

}  // namespace kelvora
