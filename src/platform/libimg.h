#pragma once
// The image library's entry points, over libjpeg-turbo, libXpm, libtiff and libpng.
//
// The PNG and TIFF readers call libpng and libtiff directly; this unit adds what those
// libraries no longer offer or what the readers expect on top of them: the JPEG and XPM
// wrappers that decode a file into a caller-supplied top-down buffer, the libtiff handler
// setters, and the grey palette builder that libpng 1.6 builds may leave out.
//
// Nothing here knows the program's error scheme: the wrappers return 0 on success and a
// non-zero value on any failure, and never write outside the buffer the caller describes.
// Only regular files are opened.

#include <cstdint>

#include <png.h>

namespace kelvora {

// --- JPEG ---------------------------------------------------------------------------------------
// Pixels are 1 byte (grey) or 3 bytes blue, green, red (colour; CMYK and YCCK files are converted).

// The file's size and the bytes per pixel read_JPEG_file will deliver (1 or 3).
int info_JPEG_file(const char* name, int32_t& width, int32_t& height, int32_t& bytesPP);

// Decodes the file into `pixels`, rows top-down and packed. On entry width, height and bytesPP
// describe the caller's buffer (as info_JPEG_file reported them); a file that no longer matches
// them fails without writing. On success they hold the decoded size.
int read_JPEG_file(const char* name, uint8_t* pixels, int32_t& width, int32_t& height,
                   int32_t& bytesPP);

// Receives a band of `count` decoded rows, top-down and packed, width * 3 bytes each. A non-zero
// return stops the decode.
using JpegRowsProc = int (*)(void* context, const uint8_t* rows, int32_t count);

// Decodes the file a band of rows at a time, for writers that need not hold the whole picture:
// pixels are 3 bytes red, green, blue, the order of picture files (grey files widened, CMYK and
// YCCK converted as above). width and height are what info_JPEG_file reported; a file that no
// longer matches them fails before any row is handed over. Returns 6 when `proc` stopped it.
int read_JPEG_rows(const char* name, int32_t width, int32_t height, JpegRowsProc proc, void* context);

// --- XPM ----------------------------------------------------------------------------------------

// What ReadXpm reads into. Pixels are 3 bytes blue, green, red, rows top-down and packed;
// transparent ("None") pixels become black.
struct QXpmDesc {
    int32_t width;
    int32_t height;
    int32_t bufferSize;  // bytes at `pixels` (at least width * height * 3 for the fill pass)
    uint8_t* pixels;     // null: only width and height are reported
    int32_t reserved;    // 0
};

// Size pass (pixels null): fills width and height. Fill pass: width and height on entry are
// the buffer's geometry; a file of another size fails without writing.
int ReadXpm(const char* name, QXpmDesc& desc);

// --- TIFF handlers --------------------------------------------------------------------------------
// A procedure that receives libtiff's formatted error or warning text. It runs inside libtiff's
// own frames, so it must return normally (no exception, no jump): record the text and act after
// the libtiff call returns. The procedures belong to the calling thread, so two threads can read
// TIFF files at once, each hearing only of its own files.
using ExternMsgProc = void (*)(const char* message);
void ExternErrorSet(ExternMsgProc proc);
void ExternWarningSet(ExternMsgProc proc);

// --- PNG ----------------------------------------------------------------------------------------

// Fills 1 << bitDepth entries (bit depth 1, 2, 4 or 8) with evenly spread grey levels from 0 to
// 255: 0, 85, 170, 255 for 2 bits. Other depths write nothing. Call it qualified
// (kelvora::png_build_grayscale_palette): where libpng still has its own, an unqualified call
// is ambiguous.
void png_build_grayscale_palette(int bitDepth, png_colorp palette);

}  // namespace kelvora
