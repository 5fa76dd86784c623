#include "formats/FFWrite.h"

#include <png.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// Runs `body(created)`, which creates the file and writes it; when it fails after the file was
// created, the partly written file is removed before the error travels on.
template <class Body>
void SaveFile_(const std::string& fileName, Body&& body) {
    Monitored([&] {
        bool created = false;
        try {
            body(created);
        } catch (...) {
            if (created) std::remove(fileName.c_str());
            throw;
        }
    });
}

// Only a picture with pixels of a known depth can be written.
void CheckWritable_(const Qimg& image) {
    const int32_t b = image.bitsPP;
    const bool depthOk = b == 8 || b == 15 || b == 16 || b == 24 || b == 32;
    if (!ImgValid(image) || !depthOk || image.width <= 0 || image.height <= 0 ||
        image.bytesPP != (b + 7) / 8 ||
        int64_t{image.width} * image.height * image.bytesPP > image.size)
        ErrFail(ERR_IMG, IMG_CREATE);
}

// The picture at 24 bits: the image itself, or `temp` converted from it.
Qimg& As24_(Qimg& image, Qimg& temp) {
    if (image.bitsPP == 24) return image;
    ImgConvBpp(image, temp, 24);
    return temp;
}

int32_t Create_(const std::string& fileName, bool& created) {
    int32_t id = BAD_HANDLE;
    FOpen(id, fileName, FM_WRITE | FM_CREATE);
    created = true;
    return id;
}

// Rows a writer converts before one write: fewer calls into the system, and a band that stays
// in the cache.
constexpr int64_t kBandBytes = 256 << 10;

void Put16_(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32_(uint8_t* p, uint32_t v) {
    Put16_(p, v & 0xFFFF);
    Put16_(p + 2, v >> 16);
}

// --- PNG through libpng ---------------------------------------------------------------------

// Where libpng's output goes, and the file error that stopped it.
struct PngSink_ {
    int32_t fileId;
    int32_t group;
    int32_t code;
};

// The write runs in its own isolated frame so that no exception crosses the C library; a
// failure is kept and turned into libpng's error.
void PngWriteData_(png_structp png, png_bytep data, size_t length) {
    auto* sink = static_cast<PngSink_*>(png_get_io_ptr(png));
    MonitoredIsolated([&] { FWrite(sink->fileId, data, static_cast<int32_t>(length)); });
    if (!ErrNone()) {
        sink->group = ErrLastGroup();
        sink->code = ErrLastCode();
        png_error(png, "write failed");
    }
}
void PngFlush_(png_structp) {}
[[noreturn]] void PngError_(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning_(png_structp, png_const_charp) {}

// Writes an 8-bit (palette) or 24-bit picture; false when the library failed. libpng reports
// errors by longjmp, so nothing here holds an object with a destructor.
bool WritePng_(PngSink_& sink, const Qimg& img) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError_, PngWarning_);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &sink, PngWriteData_, PngFlush_);
    const bool palette = img.bitsPP == 8;
    png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height),
                 8, palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette) {
        png_color colours[256];
        for (int i = 0; i < 256; ++i)
            colours[i] = {img.palette[i].red, img.palette[i].green, img.palette[i].blue};
        png_set_PLTE(png, info, colours, 256);
    }
    png_write_info(png, info);
    if (!palette) png_set_bgr(png);  // the record's pixels are blue first
    const int64_t stride = int64_t{img.width} * img.bytesPP;
    for (int32_t y = 0; y < img.height; ++y) png_write_row(png, img.data + y * stride);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

void PPMWriterCreate(QPpmWriter& w, const std::string& fileName, int32_t width, int32_t height) {
    SaveFile_(fileName, [&](bool& created) {
        w = QPpmWriter{BAD_HANDLE, width, height, 0};
        if (width <= 0 || height <= 0 || int64_t{width} * 3 > INT32_MAX)
            ErrFail(ERR_IMG, IMG_CREATE);
        const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) +
                                   "\n255\n";
        w.fileId = Create_(fileName, created);
        FWrite(w.fileId, header.data(), static_cast<int32_t>(header.size()));
    });
}

void PPMWriterAdd(QPpmWriter& w, const uint8_t* rows, int32_t count) {
    Monitored([&] {
        if (count <= 0) return;
        if (count > w.height - w.rows) ErrFail(ERR_IMG, IMG_CREATE);
        // One write per band rather than per row; FWrite takes at most 2 GiB at once.
        const int32_t rowBytes = w.width * 3;
        const int32_t perWrite = std::max<int32_t>(1, INT32_MAX / rowBytes);
        for (int32_t done = 0; done < count;) {
            const int32_t n = std::min(perWrite, count - done);
            FWrite(w.fileId, rows + int64_t{done} * rowBytes, n * rowBytes);
            done += n;
        }
        w.rows += count;
    });
}

void PPMWriterClose(QPpmWriter& w) {
    Monitored([&] {
        FClose(w.fileId);
        w.fileId = BAD_HANDLE;
        if (w.rows != w.height) ErrFail(ERR_IMG, IMG_CREATE);
    });
}

void ImgSavePPM(const std::string& fileName, Qimg& image) {
    SaveFile_(fileName, [&](bool& created) {
        CheckWritable_(image);
        Qimg temp{};
        const Qimg& src = As24_(image, temp);
        const int32_t rowBytes = src.width * 3;
        const int32_t bandRows = static_cast<int32_t>(
            std::clamp<int64_t>(kBandBytes / rowBytes, 1, src.height));
        uint8_t* band = nullptr;
        _memalloc_(band, int64_t{rowBytes} * bandRows, __LINE__, MEM_KIND_C,
                   "FFWrite.ImgSavePPM.band");
        QPpmWriter w{};
        PPMWriterCreate(w, fileName, src.width, src.height);
        created = true;
        for (int32_t y = 0; y < src.height; y += bandRows) {
            const int32_t n = std::min(bandRows, src.height - y);
            for (int32_t i = 0; i < n; ++i)
                ImgRowTo24(true, 3, src.width, band + int64_t{i} * rowBytes,
                           src.data + int64_t{y + i} * rowBytes);
            PPMWriterAdd(w, band, n);
        }
        PPMWriterClose(w);
        MemFree(band);
        ImgFree(temp);
    });
}

void ImgSaveBMP(const std::string& fileName, Qimg& image) {
    SaveFile_(fileName, [&](bool& created) {
        CheckWritable_(image);
        const int32_t bits = image.bitsPP;
        const uint32_t fileBits = bits == 15 ? 16 : static_cast<uint32_t>(bits);
        const int64_t rowBytes = int64_t{image.width} * image.bytesPP;
        const int64_t stride = (rowBytes + 3) / 4 * 4;
        const int32_t tableBytes = bits == 8 ? 1024 : bits == 16 ? 12 : 0;
        const int64_t offset = 14 + 40 + tableBytes;
        const int64_t fileSize = offset + stride * image.height;
        if (fileSize > UINT32_MAX) ErrFail(ERR_IMG, IMG_CREATE);

        uint8_t head[14 + 40 + 1024] = {};
        head[0] = 'B';
        head[1] = 'M';
        Put32_(head + 2, static_cast<uint32_t>(fileSize));
        Put32_(head + 10, static_cast<uint32_t>(offset));
        uint8_t* info = head + 14;
        Put32_(info, 40);
        Put32_(info + 4, static_cast<uint32_t>(image.width));
        Put32_(info + 8, static_cast<uint32_t>(image.height));  // positive: rows bottom-up
        Put16_(info + 12, 1);
        Put16_(info + 14, fileBits);
        Put32_(info + 16, bits == 16 ? 3 : 0);  // BI_BITFIELDS for 5-6-5, else BI_RGB
        Put32_(info + 20, static_cast<uint32_t>(stride * image.height));
        Put32_(info + 24, 2835);  // 72 dpi
        Put32_(info + 28, 2835);
        Put32_(info + 32, bits == 8 ? 256 : 0);
        uint8_t* table = info + 40;
        if (bits == 8) {
            for (int i = 0; i < 256; ++i) {
                table[4 * i] = image.palette[i].blue;
                table[4 * i + 1] = image.palette[i].green;
                table[4 * i + 2] = image.palette[i].red;
            }
        } else if (bits == 16) {
            Put32_(table, 0xF800);
            Put32_(table + 4, 0x07E0);
            Put32_(table + 8, 0x001F);
        }

        uint8_t* row = nullptr;
        _memalloc_(row, stride, __LINE__, MEM_KIND_C, "FFWrite.ImgSaveBMP.row");
        FillBytes(0, stride, row);  // the padding stays zero
        const int32_t id = Create_(fileName, created);
        FWrite(id, head, static_cast<int32_t>(offset));
        for (int32_t y = image.height - 1; y >= 0; --y) {
            MoveBytes(rowBytes, row, image.data + y * rowBytes);
            FWrite(id, row, static_cast<int32_t>(stride));
        }
        FClose(id);
        MemFree(row);
    });
}

void ImgSavePNG(const std::string& fileName, Qimg& image) {
    SaveFile_(fileName, [&](bool& created) {
        CheckWritable_(image);
        Qimg temp{};
        const Qimg& src = image.bitsPP == 8 ? image : As24_(image, temp);
        PngSink_ sink{Create_(fileName, created), 0, 0};
        if (!WritePng_(sink, src)) {
            if (sink.group != 0) ErrRaiseCode(sink.group, sink.code, __LINE__);
            ErrFail(ERR_IMG, IMG_CREATE);
        }
        FClose(sink.fileId);
        ImgFree(temp);
    });
}

// --- PCM WAV ------------------------------------------------------------------------------

namespace {

constexpr int32_t WAV_HEADER_BYTES = 44;  // RIFF header, "fmt " chunk of 16 bytes, "data" header
// The RIFF size (the data, its pad byte and the 36 header bytes after the size) must fit 32 bits.
constexpr int64_t WAV_MAX_DATA = 0xFFFFFFFFLL - (WAV_HEADER_BYTES - 8) - 1;

// The header for `dataBytes` bytes of samples.
void WavHeader_(uint8_t* head, const QWaveFmt& f, int64_t dataBytes) {
    std::memcpy(head, "RIFF", 4);
    Put32_(head + 4, static_cast<uint32_t>(dataBytes + WAV_HEADER_BYTES - 8));
    std::memcpy(head + 8, "WAVEfmt ", 8);
    Put32_(head + 16, 16);
    Put16_(head + 20, f.formatTag);
    Put16_(head + 22, f.channels);
    Put32_(head + 24, f.samplesPerSec);
    Put32_(head + 28, f.avgBytesPerSec);
    Put16_(head + 32, f.blockAlign);
    Put16_(head + 34, f.bitsPerSample);
    std::memcpy(head + 36, "data", 4);
    Put32_(head + 40, static_cast<uint32_t>(dataBytes));
}

}  // namespace

void WAVWriterCreate(QWavWriter& w, const std::string& fileName, const QWaveFmt& format) {
    Monitored([&] {
        w = QWavWriter{BAD_HANDLE, format, 0};
        const uint16_t bits = format.bitsPerSample;
        if (format.formatTag != WAVE_FORMAT_PCM ||
            (bits != 8 && bits != 16 && bits != 24 && bits != 32) || !WaveFmtFix(w.format))
            ErrFail(ERR_WAV, WAV_CREATE);
        w.format.extraSize = 0;
        uint8_t head[WAV_HEADER_BYTES];
        WavHeader_(head, w.format, 0);
        FOpen(w.fileId, fileName, FM_WRITE | FM_CREATE);
        FWrite(w.fileId, head, WAV_HEADER_BYTES);
    });
}

void WAVWriterAdd(QWavWriter& w, const uint8_t* samples, int32_t frames) {
    Monitored([&] {
        if (frames <= 0) return;
        const int64_t bytes = int64_t{frames} * w.format.blockAlign;
        if (w.dataBytes + bytes > WAV_MAX_DATA || bytes > INT32_MAX) ErrFail(ERR_WAV, WAV_WRITE);
        FWrite(w.fileId, samples, static_cast<int32_t>(bytes));
        w.dataBytes += bytes;
    });
}

void WAVWriterClose(QWavWriter& w) {
    Monitored([&] {
        uint8_t head[WAV_HEADER_BYTES];
        WavHeader_(head, w.format, w.dataBytes);
        // A data chunk of odd length is followed by a pad byte that its size leaves out.
        if (w.dataBytes & 1) {
            const uint8_t pad = 0;
            FWrite(w.fileId, &pad, 1);
            Put32_(head + 4, static_cast<uint32_t>(w.dataBytes + 1 + WAV_HEADER_BYTES - 8));
        }
        FSeek(w.fileId, 0);
        FWrite(w.fileId, head, WAV_HEADER_BYTES);
        FClose(w.fileId);
        w.fileId = BAD_HANDLE;
    });
}

}  // namespace kelvora
