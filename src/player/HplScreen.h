#pragma once
// The window side of the display and the device-context routines of the image unit, over Qt
// Widgets and Qt GUI: only the window program links this unit. Linked in, it installs itself
// as the display's window (DspSetWindowOps) before main runs, so that every display created
// with a parent gets its widget.
//
// A device context is a QPainter; the palette PalPut realises is what palette indices mean on
// a palette screen (ScreenIsPalette).

#include <cstdint>

#include "player/HplDisplay.h"

class QPainter;

namespace kelvora {

// Source rectangle of ImgPutEx, clipped in place.
struct QImgRect {
    int32_t x, y, width, height;
};

// Makes the palette (blue, green, red triples) the screen palette of a palette screen; nothing
// on other screens.
void PalPut(const QBGR* palette, QPainter& dc);
// Draws the source rectangle of the image at (dx, dy): stretched to dw x dh when both are
// non-zero, else at 1:1. On a palette screen a picture of more than 8 bits is reduced first
// (method 1 heavy dither, 2 light dither, 3 grey, other plain quantizer) and its palette
// realised. Raises (ERR_IMG, 2) for an image whose header does not match its pixels.
void ImgPutEx(Qimg& image, QImgRect& source, QPainter& dc, int32_t method, int32_t dx, int32_t dy,
              int32_t dw, int32_t dh);
void ImgPut(Qimg& image, QPainter& dc, int32_t x, int32_t y);

}  // namespace kelvora
