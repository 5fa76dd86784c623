#pragma once
// Decoded pictures of the stand-ins over FFmpeg as packed 24-bit rows.
//
// The reference for every conversion is libswscale with bicubic filtering, accurate rounding
// and full chroma interpolation, the frame's own colour matrix and range, and chroma sited in
// the centre (libswscale's default): what `ffmpeg -pix_fmt bgr24 -sws_flags
// bicubic+accurate_rnd+full_chroma_int` gives. That path costs about 2 ms for a 640 x 480
// picture, three times the decoding of a Motion JPEG frame. So the 8-bit planar YUV layouts
// every common decoder emits (4:2:0, 4:2:2, 4:4:0, 4:4:4, limited or full range, subsampled
// sides even) take a converter of our own: the same bicubic kernel (a = -0.6) at the two fixed
// phases of a 2x upsampling, in 16-bit integers, with vector code of its own for processors
// with SSSE3, AVX2 or AVX-512 (BW and VBMI) that gives the plain code's bytes. It differs from
// the reference by rounding only (60 dB PSNR and more on decoded video; colours far outside
// the limited range come out right where libswscale's integers overflow). Everything else goes
// through libswscale.

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

namespace kelvora {

// What a conversion keeps between pictures. One converter serves one thread at a time.
struct QAvPictureConverter {
    SwsContext* sws = nullptr;
    std::vector<uint8_t> spare;  // libswscale's output: it may write past a row's last pixel
    std::vector<int16_t> rows;   // our converter's chroma rows
    QAvPictureConverter() = default;
    QAvPictureConverter(const QAvPictureConverter&) = delete;
    QAvPictureConverter& operator=(const QAvPictureConverter&) = delete;
    ~QAvPictureConverter();
};

// Converts `f` into `width` x `height` packed pixels, blue first unless `rgb`, scaling when the
// picture's own size differs. `dest` is the first row written, `stride` bytes (negative for
// bottom-up) lead to the next; exactly `width` * 3 bytes of each row are written. False when
// the picture cannot be converted.
bool AvPictureToPacked24(QAvPictureConverter& c, const AVFrame& f, int width, int height, bool rgb,
                         uint8_t* dest, ptrdiff_t stride);

// The widest vectors our converter may use, in bits: 512 (the default) lets it use the widest
// the processor has, 256 and 128 hold it to narrower ones, and 0 to the plain code, which
// defines its results. A setting for the whole process, for tests and benchmarks to hold each
// vector path against the plain code.
void AvPictureLimitVectors(int bits);

}  // namespace kelvora
