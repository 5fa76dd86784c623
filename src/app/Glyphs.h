#pragma once
// The pictures of the transport buttons, drawn in code: eleven symbols, each in four states.

#include <cstdint>

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace kelvora {

// Symbols, in the order of the buttons.
constexpr int32_t GLYPH_PLAY = 0;
constexpr int32_t GLYPH_PAUSE = 1;
constexpr int32_t GLYPH_EJECT = 2;  // open a file
constexpr int32_t GLYPH_TO_START = 3;
constexpr int32_t GLYPH_FAST_BACK = 4;
constexpr int32_t GLYPH_ONE_BACK = 5;
constexpr int32_t GLYPH_ONE_FORWARD = 6;
constexpr int32_t GLYPH_FAST_FORWARD = 7;
constexpr int32_t GLYPH_TO_END = 8;
constexpr int32_t GLYPH_INFO = 9;
constexpr int32_t GLYPH_OPTIONS = 10;
constexpr int32_t GLYPH_KINDS = 11;

// Button states.
constexpr int32_t GLYPH_UP = 0;
constexpr int32_t GLYPH_DISABLED = 1;
constexpr int32_t GLYPH_DOWN = 2;  // pressed
constexpr int32_t GLYPH_HELD = 3;  // stays down
constexpr int32_t GLYPH_STATES = 4;

// A square picture of `size` pixels (clamped to 8..256) on a transparent background; an
// unknown symbol or state gives an empty picture. GlyphImage needs no application object.
QImage GlyphImage(int32_t kind, int32_t state, int32_t size);
QPixmap GlyphMake(int32_t kind, int32_t state, int32_t size);
// All four states of a symbol: normal, disabled, active (down) and on (held).
QIcon GlyphIcon(int32_t kind, int32_t size);

}  // namespace kelvora
