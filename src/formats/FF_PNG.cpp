#include "formats/FF_PNG.h"

#include <csetjmp>
#include <cstring>

#include "formats/FFBasic.h"
#include "platform/libimg.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// Ancillary chunks of any length that libpng would read whole into memory before looking at
// them, and that the reader has no use for: passed over unread.
constexpr png_byte kPngIgnoredChunks[] = "tEXt\0zTXt\0iTXt\0iCCP\0sPLT\0eXIf";

// The message of the libpng error that ended the current call on this thread.
thread_local std::string pngError;

// Runs `step` (libpng calls only, nothing that needs destroying) with libpng's error jump set;
// false when libpng reported an error. The jump lands here, never across a monitored frame.
template <class Step>
bool PNGTry_(png_structp png, Step&& step) {
    if (setjmp(png_jmpbuf(png))) return false;
    step();
    return true;
}

// Raises the recorded library error when `ok` is false.
void PNGCheck_(bool ok, int32_t line) {
    if (ok) return;
    std::string message;
    message.swap(pngError);
    ErrRaiseMsg(ERR_LIBRARY, message.empty() ? std::string("PNG error") : message, line);
}

// Runs `body` on an open handle and closes it afterwards, also when the body fails (libpng's
// structures are not tracked, so the frame's release would not free them).
template <class Body>
void PNGWith_(QPngHandle& h, Body&& body) {
    try {
        body();
    } catch (...) {
        PNGClose_(h);
        throw;
    }
    PNGClose_(h);
}

// libpng's read procedure: the bytes come from the handle's tracked file.
void PNGRead_(png_structp png, png_bytep data, png_size_t length) {
    auto* h = static_cast<QPngHandle*>(png_get_io_ptr(png));
    int32_t got = 0;
    if (length > 0x7FFFFFFF || !FReadPart(h->fileId, data, static_cast<int32_t>(length), got))
        png_error(png, "Read Error");
}

void PNGHeader_(QPngHandle& h) {
    png_uint_32 width = 0, height = 0;
    int depth = 0, color = 0, interlace = 0, compression = 0, filter = 0;
    png_get_IHDR(h.png, h.info, &width, &height, &depth, &color, &interlace, &compression, &filter);
    h.width = width;
    h.height = height;
    h.bitDepth = depth;
    h.colorType = color;
    h.interlace = interlace;
    h.compression = compression;
    h.filter = filter;
}

// Palette entries (red first) into the image's blue-first palette; the rest become black.
void PNGSetPalette_(Qimg& image, const png_color* entries, int32_t count) {
    std::memset(image.palette, 0, sizeof image.palette);
    if (count > 256) count = 256;
    if (count > 0) ImgRowTo24(true, 3, count, &image.palette[0].blue, &entries[0].red);
}

// libpng's error procedure: keeps the message and jumps back to the call that ran libpng, which
// then raises (ERR_LIBRARY, ERR_MSGONLY) with it. Private to this reader: the TIFF reader has a
// procedure of the same name for libtiff.
void error_handler_(png_structp png, png_const_charp message) {
    try {
        pngError = message ? message : "";
    } catch (...) {}
    png_longjmp(png, 1);
}

// libpng's warning procedure: the message becomes the last warning.
void warning_handler_(png_structp, png_const_charp message) {
    try {
        ErrNoteMsg(ERR_LIBRARY, message ? message : "", __LINE__);
    } catch (...) {}
}

}  // namespace

void PNGOpen_(QPngHandle& h, const std::string& fileName) {
    Monitored([&] {
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        FOpen(h.fileId, fileName, FM_READ);
        try {
            png_byte signature[4];
            FRead(h.fileId, signature, 4);
            if (png_sig_cmp(signature, 0, 4) != 0) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
            FSeek(h.fileId, 0);
            pngError.clear();
            // libpng checks the caller's version string against its own, so it gets its own.
            h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, error_handler_,
                                           warning_handler_);
            if (h.png) h.info = png_create_info_struct(h.png);
            if (!h.info) ErrFail(ERR_IMG, IMG_INIT_COMPRESSION);
            // libpng allocates and clears a buffer as large as such a chunk claims to be before
            // it reads it: a short file announcing a 2 GB text chunk would cost 2 GB.
            png_set_keep_unknown_chunks(h.png, PNG_HANDLE_CHUNK_NEVER, kPngIgnoredChunks,
                                        sizeof kPngIgnoredChunks / 5);
            png_set_read_fn(h.png, &h, PNGRead_);
            PNGCheck_(PNGTry_(h.png, [&] { png_read_info(h.png, h.info); }), __LINE__);
        } catch (...) {
            PNGClose_(h);
            throw;
        }
        PNGHeader_(h);
        // Grey with or without alpha loads as one grey byte, whatever its depth.
        switch (h.colorType) {
            case PNG_COLOR_TYPE_RGB: h.bytesPP = 3; break;
            case PNG_COLOR_TYPE_PALETTE: h.bytesPP = 1; break;
            case PNG_COLOR_TYPE_RGB_ALPHA: h.bytesPP = 4; break;
            default: h.bytesPP = 1; break;
        }
    });
}

void PNGClose_(QPngHandle& h) {
    if (h.png) png_destroy_read_struct(&h.png, &h.info, nullptr);
    if (h.fileId != 0) FClose(h.fileId);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
}

void PNGInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QPngHandle h;
        PNGOpen_(h, fileName);
        const int32_t bits = h.bitDepth * h.bytesPP;
        FFFillPictureInfo(info, FileSizeByName(fileName), static_cast<int32_t>(h.width),
                          static_cast<int32_t>(h.height), (bits + 7) / 8, bits, h.width > 0);
        info.videoCompression = "Deflate compression (modified LZ77)";
        PNGClose_(h);
    });
}

void PNGLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QPngHandle h;
        PNGOpen_(h, fileName);
        PNGWith_(h, [&] {
            // Packing leaves 1, 2 and 4-bit grey values unscaled: the ramp follows the file's depth.
            const int32_t fileDepth = h.bitDepth;
            int32_t channels = 0;
            png_size_t rowBytes = 0;
            PNGCheck_(PNGTry_(h.png,
                              [&] {
                                  png_set_strip_16(h.png);
                                  png_set_strip_alpha(h.png);
                                  png_set_packing(h.png);
                                  png_set_bgr(h.png);
                                  // Asked for before png_read_update_info, so that png_read_image combines the passes.
                                  png_set_interlace_handling(h.png);
                                  png_read_update_info(h.png, h.info);
                                  channels = png_get_channels(h.png, h.info);
                                  rowBytes = png_get_rowbytes(h.png, h.info);
                              }),
                      __LINE__);
            PNGHeader_(h);  // grey with alpha now reads as grey
            const int32_t width = static_cast<int32_t>(h.width);
            const int32_t height = static_cast<int32_t>(h.height);
            if ((channels != 1 && channels != 3) || !FFSaneGeometry(h.width, h.height, channels * 8) ||
                rowBytes != static_cast<png_size_t>(width) * static_cast<png_size_t>(channels))
                ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
            _imgalloc_(image, width, height, "FF_PNG.PNGLoad.img", __LINE__, channels * 8);
            png_bytep* rowPointers = nullptr;
            _memalloc_(rowPointers, int64_t{height} * static_cast<int64_t>(sizeof(png_bytep)),
                       __LINE__, MEM_KIND_C, "FF_PNG.PNGLoad.row_pointers");
            for (int32_t y = 0; y < height; ++y)
                rowPointers[y] = image.data + static_cast<size_t>(y) * rowBytes;
            PNGCheck_(PNGTry_(h.png, [&] { png_read_image(h.png, rowPointers); }), __LINE__);
            MemFree(rowPointers);
            if (h.colorType == PNG_COLOR_TYPE_GRAY) {
                png_color grey[256];
                const int32_t depth = fileDepth < 8 ? fileDepth : 8;
                kelvora::png_build_grayscale_palette(depth,
                                                     grey);  // ours: not every libpng build has it
                PNGSetPalette_(image, grey, 1 << depth);
            } else if (h.colorType == PNG_COLOR_TYPE_PALETTE) {
                png_colorp entries = nullptr;
                int count = 0;
                if (png_get_PLTE(h.png, h.info, &entries, &count) == 0) count = 0;
                PNGSetPalette_(image, entries, count);
            }
            ImgSetSize(image, width, height, channels * 8);
            PNGCheck_(PNGTry_(h.png, [&] { png_read_end(h.png, nullptr); }), __LINE__);
        });
    });
}

}  // namespace kelvora
