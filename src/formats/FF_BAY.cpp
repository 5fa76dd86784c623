#include "formats/FF_BAY.h"

#include "runtime/Errors.h"

namespace kelvora {

// Placeholder until the reader lands in this file.
void BayLoad(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void BayInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }

}  // namespace kelvora
