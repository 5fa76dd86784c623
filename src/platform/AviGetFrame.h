#pragma once
// The frame decompressor of an AVI video stream (the get-frame object): frame n of the stream
// as a packed device-independent bitmap, whatever frame was asked for before.
//
// It joins the stream's samples (platform/AviFile) to a decompressor chosen by the stream's
// format (platform/VideoCodec). A request for the frame after the one delivered last decodes on
// from where the decompressor stands; any other request starts again at the key frame at or
// before the frame and decodes forward, so every frame is reachable directly. Palette changes
// recorded in the stream reach the frames they precede, also after such a restart.
//
// Frames are counted in the order the decompressor delivers them, from the key frame it starts
// at: exact for streams without B-frames and for B-frames in closed groups (a key frame then
// shows at its own place). The bitmap of the last request stays valid until the next request
// or the close.
//
// The object is ordinary heap memory holding a reference on its stream; its owner closes it.
// One object must not be used by two threads at once.

#include <cstdint>

#include "platform/AviFile.h"

namespace kelvora {

struct QAviGetFrame;
using PGETFRAME = QAviGetFrame*;

// Opens the decompressor for a video stream; `wanted` must be null (the bitmaps come in the
// stream's natural depth). Null when no decompressor takes the stream's format.
PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const void* wanted);
// The packed bitmap of frame `pos` (stream positions, from AVIStreamStart), and its size in
// bytes in `size` when given; null when the frame cannot be read or decoded.
const uint8_t* AVIStreamGetFrame(PGETFRAME frames, int32_t pos, int32_t* size = nullptr);
// Closes the decompressor and releases the stream; 0, or AVIERR_BADHANDLE for null.
int32_t AVIStreamGetFrameClose(PGETFRAME frames);

}  // namespace kelvora
