#include "platform/AvCommon.h"

extern "C" {
#include <libavutil/log.h>
}

namespace kelvora {

void AvQuietLog() {
    // Some decoders report an ordinary damaged frame at the fatal level: nothing is printed.
    static const bool once = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)once;
}

}  // namespace kelvora
