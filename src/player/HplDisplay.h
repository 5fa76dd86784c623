#pragma once
// The display window: a child widget that holds a copy of the image to show, scales it to its
// own size, shows its background colour when there is no image, and reports mouse presses.
// A display created without a parent has no window: it keeps the last image it is given and
// counts the images, for playback without a screen.
//
// Frames may come from the player's worker thread. DspSetImage copies the image into a
// mutex-guarded latest-frame slot and, off the window thread, posts one repaint request; the
// window thread takes the newest frame when it paints. The worker never waits for the window
// thread, frames reach the screen in order, several frames handed over between two paints
// are reduced to the newest, and no frame is taken twice. Create, move, size and destroy the
// display on the window thread.
//
// This unit needs no window system: the widget, its painting and the device-context routines
// of the image unit (PalPut, ImgPutEx, ImgPut) live in HplScreen, which only the window
// program links and which installs itself through DspSetWindowOps. Without it (the command
// line) every display is windowless and no screen is a palette screen unless
// KELVORA_SCREEN_DEPTH says so. Also here: ImgFromFn and ScreenIsPalette; the screen counts as
// a palette screen when its depth is 8 bits or less, or when the environment variable
// KELVORA_SCREEN_DEPTH gives such a depth (or a larger one, to rule a palette screen out).

#include <atomic>
#include <cstdint>
#include <mutex>

#include "image/ImgBasic.h"

class QWidget;
class QPaintDevice;

namespace kelvora {

// Mouse buttons reported to the mouse procedure.
constexpr int32_t DSP_BUTTON_LEFT = 1;
constexpr int32_t DSP_BUTTON_RIGHT = 2;
constexpr int32_t DSP_BUTTON_MIDDLE = 4;

// Key-state flags given with a press.
constexpr uint32_t DSP_KEY_LBUTTON = 0x01;
constexpr uint32_t DSP_KEY_RBUTTON = 0x02;
constexpr uint32_t DSP_KEY_SHIFT = 0x04;
constexpr uint32_t DSP_KEY_CONTROL = 0x08;
constexpr uint32_t DSP_KEY_MBUTTON = 0x10;

// Called on the window thread as (button, key-state flags, packed position, user value); the
// position packs x in the low and y in the high 16 bits, each as a signed 16-bit number.
using DspMouseProc = void (*)(int32_t button, uint32_t keys, int32_t position, void* user);

struct DspWindow {
    QWidget* parent;
    QWidget* window;              // null for a display without a window
    int32_t x, y, width, height;  // in the parent's coordinates
    uint32_t background;          // colour value 0x00BBGGRR
    Qimg image;                   // the latest frame handed over (the slot; guarded by `lock`)
    int32_t painting;             // a paint is running (window thread only)
    DspMouseProc mouseProc;
    void* mouseUser;
    // Hand-over between the caller's threads and the window thread.
    std::mutex lock;               // guards image, fresh, repaintQueued, cleared
    Qimg shown;                    // the frame the window paints (window thread only)
    bool fresh;                    // image holds a frame the window has not taken yet
    bool repaintQueued;            // a repaint request is on its way to the window thread
    bool cleared;                  // show the background until the next image
    std::atomic<int32_t> frames;   // images handed over by DspSetImage
    std::atomic<int32_t> painted;  // frames the window took and painted
    // A window on a true-colour screen takes 24-bit frames widened to 32 bits at the hand-over,
    // the depth the screen is painted from, so that painting is a plain copy. The flags tell
    // which of the two blocks holds a widened frame (they travel with the blocks).
    bool widen;
    bool imageWidened;
    bool shownWidened;
};

// A display of the given place and size inside `parent`; with a null parent a display without
// a window. The record is freed by DspDestroy.
DspWindow* DspCreate(QWidget* parent, int32_t x, int32_t y, int32_t width, int32_t height);
void DspDestroy(DspWindow*& display);
void DspSetPos(DspWindow* display, int32_t x, int32_t y, int32_t width, int32_t height);
void DspSetColor(DspWindow* display, uint32_t colour);
// Copies the image (from any thread) and has the window show it. An image without pixels
// empties the display. A window on a true-colour screen keeps a 24-bit image widened to 32
// bits, which DspGetImage narrows again.
void DspSetImage(DspWindow* display, const Qimg& image);
// Shows the background colour until the next image.
void DspClear(DspWindow* display);
void DspSetMouseProc(DspWindow* display, DspMouseProc proc, void* user);
// A copy of the newest image handed over (an empty record when there is none).
void DspGetImage(DspWindow* display, Qimg& image);

// The window side of a display, installed by the window program's screen unit. `create` and
// `destroy` run on the window thread, `place` and `repaint` may come from any thread, and
// `depth` tells the depth of a paint device (null: the primary screen).
struct QDspWindowOps {
    QWidget* (*create)(DspWindow* display);
    void (*destroy)(DspWindow* display);
    void (*place)(DspWindow* display);
    void (*repaint)(DspWindow* display);
    int32_t (*depth)(const QPaintDevice* device);
};
void DspSetWindowOps(const QDspWindowOps* ops);

// --- Screen routines of the image unit ------------------------------------------------------

// True when `device` (null: the primary screen) shows a palette of at most 256 colours.
bool ScreenIsPalette(const QPaintDevice* device);
// Builds an image from a block of `size` bytes: four 32-bit little-endian values (width,
// height, bytes per pixel, compressed flag), for 1 byte per pixel a 768-byte palette (blue,
// green, red), then the pixels: raw and top-down, or with the compressed flag set one HAV
// frame record coded with BEST tokens (1 to 3 bytes per pixel). Raises (ERR_IMG, 4) for a bad
// header and (ERR_IMG, 3) for pixels that are missing or do not decode.
void ImgFromFn(const uint8_t* block, int64_t size, Qimg& image);

}  // namespace kelvora
