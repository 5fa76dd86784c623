#include "formats/FF_PCX.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

void PCXOpen_(QStillReader& reader, const std::string& fileName) {
    Monitored([&] {
        uint8_t raw[128];
        const int32_t got = ReaderOpen_(reader, fileName, raw, sizeof raw);
        QByteReader h = ByteReader(raw, got);
        const int32_t manufacturer = BrU8(h);
        BrSkip(h, 1);  // version
        const int32_t encoding = BrU8(h);
        const int32_t bitsPerPlane = BrU8(h);
        const int32_t xMin = BrU16LE(h);
        const int32_t yMin = BrU16LE(h);
        const int32_t xMax = BrU16LE(h);
        const int32_t yMax = BrU16LE(h);
        BrSeek(h, 65);
        const int32_t planes = BrU8(h);
        const int32_t lineBytes = BrU16LE(h);
        BrSeek(h, 128);  // the whole header must be there
        if (got < 1 || manufacturer != 10) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        if (h.overrun) ErrFail(ERR_FILE, FILE_READ);
        // One plane of indices or three planes of red, green and blue, 8 bits each.
        reader.supported = bitsPerPlane == 8 && (planes == 1 || planes == 3) && encoding == 1;
        const int32_t width = xMax - xMin + 1;
        const int32_t height = yMax - yMin + 1;
        CheckGeometry_(width, height, reader.supported ? 8 * planes : 8);
        ReaderSetGeometry(reader, width, height, bitsPerPlane * planes);
        reader.compressed = true;
        reader.paletteBytes = 768;
        reader.dataOffset = 128;
        if (reader.supported) {
            // Each stored row holds every plane's line of the header's bytes per line; a file
            // that leaves it shorter than the width gets the width rounded up to even.
            const int32_t stride = lineBytes >= width ? lineBytes : width + (width & 1);
            CheckGeometry_(stride, height, 8 * planes);
            reader.rowBytes = stride * planes;
            reader.imageBytes = reader.rowBytes * height;
        }
    });
}

void PCXunCmps_(QStillReader& reader, uint8_t* pixels) {
    Monitored([&] {
        QByteReader src = ByteReader(reader.cmpsData, reader.cmpsBytes);
        const int64_t total = reader.imageBytes;
        FillBytes(0, total, pixels);
        // A byte below 192 is a literal; b >= 192 repeats the next byte b - 192 times.
        for (int64_t pos = 0; pos < total && BrLeft(src) > 0;) {
            const int32_t b = BrU8(src);
            if (b < 192) {
                pixels[pos++] = static_cast<uint8_t>(b);
                continue;
            }
            const uint8_t value = BrU8(src);
            if (src.overrun) ErrFail(ERR_IMG, IMG_DECOMPRESS);
            const int64_t n = std::min<int64_t>(b - 192, total - pos);
            FillBytes(value, n, pixels + pos);
            pos += n;
        }
        // Drop the padding of every plane's line: line k moves from k x stride to k x width.
        const int32_t stride = reader.rowBytes / reader.bytesPP;
        if (stride != reader.width) {
            const int64_t lines = int64_t{reader.height} * reader.bytesPP;
            for (int64_t k = 1; k < lines; ++k)
                MoveBytes(reader.width, pixels + k * reader.width, pixels + k * stride);
        }
    });
}

void PCX24Fix_(QStillReader& reader, uint8_t* pixels) {
    Monitored([&] {
        const int32_t w = reader.width;
        uint8_t* lintmp = nullptr;
        _memalloc_(lintmp, int64_t{w} * 3, __LINE__, MEM_KIND_C, "ConForm.PCX24Fix_.lintmp");
        for (int64_t y = 0; y < reader.height; ++y) {
            uint8_t* row = pixels + y * w * 3;  // the red line, the green line, the blue line
            for (int32_t x = 0; x < w; ++x) {
                lintmp[x * 3] = row[2 * w + x];
                lintmp[x * 3 + 1] = row[w + x];
                lintmp[x * 3 + 2] = row[x];
            }
            std::memcpy(row, lintmp, static_cast<size_t>(w) * 3);
        }
        MemFree(lintmp);
    });
}

void PCXLoad_(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QStillReader reader;
        PCXOpen_(reader, fileName);
        // Two planes would be raw bytes of no image record depth.
        if (!reader.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        CheckCmpsInFile_(reader);
        // A run makes at most 63 bytes of two.
        CheckRunsCanFill_(
            int64_t{reader.fileSize} - reader.dataOffset - (reader.bytesPP == 1 ? 769 : 0), 2, 63,
            reader.imageBytes);
        // Room for the padded rows while decoding.
        _imgalloc_(image, reader.rowBytes / reader.bytesPP, reader.height, "ConForm.PCXLoad_.ih",
                   __LINE__, reader.bitsPP);
        GetCmpsData_(reader);
        if (reader.bytesPP == 1) {
            // The palette is the last 768 bytes (red, green, blue), after a marker byte that is
            // not checked; the decoder leaves both out. It never reaches back into the header.
            if (reader.cmpsBytes < 769) ErrFail(ERR_IMG, IMG_DECOMPRESS);
            ImgRowTo24(true, 3, 256, reinterpret_cast<uint8_t*>(image.palette),
                       reader.cmpsData + reader.cmpsBytes - 768);
            reader.cmpsBytes -= 769;
        }
        PCXunCmps_(reader, image.data);
        MemFree(reader.cmpsData);
        if (reader.bytesPP == 3) PCX24Fix_(reader, image.data);
        // Gives the block back its exact size; the compacted rows are kept.
        _imgalloc_(image, reader.width, reader.height, "ConForm.PCXLoad_.ih", __LINE__,
                   reader.bitsPP);
        FClose(reader.fileId);
    });
}

void PCXInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QStillReader reader;
        PCXOpen_(reader, fileName);
        FillStillInfo_(reader, info);
        FClose(reader.fileId);
    });
}

}  // namespace kelvora
