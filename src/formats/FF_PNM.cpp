#include "formats/FF_PNM.h"

#include <algorithm>
#include <bit>
#include <climits>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr size_t kMagicChars = 2;
constexpr size_t kTokenChars = 511;
constexpr int32_t kMaxSample = 65535;

bool IsSpace_(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Refills the buffer; the number of bytes read, 0 at the end of the file.
int32_t PNMFill_(QPNMReader& rd) {
    int32_t got = 0;
    FReadPart(rd.fileId, rd.buffer, sizeof rd.buffer, got);
    rd.fill = got;
    rd.pos = 0;
    return got;
}

uint8_t PNMRaw_(QPNMReader& rd) {
    if (rd.pos >= rd.fill) PNMReadBuf_(rd);
    ++rd.consumed;
    return rd.buffer[rd.pos++];
}

// The next character; a comment reads as the line end that closes it.
uint8_t PNMChar_(QPNMReader& rd) {
    uint8_t c = PNMRaw_(rd);
    if (c == '#') {
        do c = PNMRaw_(rd);
        while (c != '\n' && c != '\r');
    }
    return c;
}

// Skips blanks, then collects characters up to the next blank (which is consumed), `limit` or
// the end of the file (so that a last sample needs no line end after it).
std::string PNMToken_(QPNMReader& rd, size_t limit) {
    uint8_t c;
    do c = PNMChar_(rd);
    while (IsSpace_(c));
    std::string token;
    for (;;) {
        token += static_cast<char>(c);
        if (token.size() >= limit || (rd.pos >= rd.fill && PNMFill_(rd) <= 0)) break;
        c = PNMChar_(rd);
        if (IsSpace_(c)) break;
    }
    return token;
}

// A decimal number token; anything else, or a value above INT32_MAX, raises (ERR_IMG, code).
int32_t PNMNumber_(QPNMReader& rd, int32_t code) {
    const std::string token = PNMToken_(rd, kTokenChars);
    int64_t value = 0;
    for (char ch : token) {
        if (ch < '0' || ch > '9' || value > (INT32_MAX - (ch - '0')) / 10) {
            ErrRaiseCode(ERR_IMG, code, __LINE__);
            return 0;
        }
        value = value * 10 + (ch - '0');
    }
    return static_cast<int32_t>(value);
}

// A sample scaled to 8 bits; values above the maximum count as the maximum.
uint8_t PNMScale_(const QPNMHandle& pnm, int32_t value) {
    value = std::min(value, pnm.maxValue);
    return static_cast<uint8_t>(pnm.sampleShift >= 0 ? value << pnm.sampleShift : value >> -pnm.sampleShift);
}

}  // namespace

void PNMReadBuf_(QPNMReader& rd) {
    Monitored([&] {
        if (PNMFill_(rd) <= 0) ErrFail(ERR_IMG, IMG_CORRUPT);
    });
}

void PNMOpen_(QPNMHandle& pnm, QPNMReader& rd, const std::string& fileName) {
    Monitored([&] {
        pnm = QPNMHandle{};
        pnm.fileId = BAD_HANDLE;
        FOpen(pnm.fileId, fileName, FM_READ);
        rd.fileId = pnm.fileId;
        rd.fill = 0;
        rd.pos = 0;
        rd.consumed = 0;
        const std::string magic = PNMToken_(rd, kMagicChars);
        if (magic[0] != 'P') ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        const char kind = magic.size() > 1 ? magic[1] : 0;
        pnm.ascii = kind >= '1' && kind <= '3';
        pnm.bitsPP = (kind == '2' || kind == '5') ? 8 : (kind == '3' || kind == '6') ? 24 : 0;
        // Bitmaps (P1, P4) have a size but no maximum value; other kinds are not read further.
        if (kind >= '1' && kind <= '6') {
            pnm.width = PNMNumber_(rd, IMG_INVALID_FORMAT);
            pnm.height = PNMNumber_(rd, IMG_INVALID_FORMAT);
        }
        if (pnm.bitsPP > 0) pnm.maxValue = PNMNumber_(rd, IMG_INVALID_FORMAT);
        pnm.bytesPP = (pnm.bitsPP + 7) / 8;
        // Shift by the significant bits of the maximum above or below 8: 255 keeps samples as
        // they are, 15 shifts left by 4, 65535 keeps the high byte.
        if (pnm.maxValue > 0) pnm.sampleShift = 8 - std::bit_width(static_cast<uint32_t>(pnm.maxValue));
        pnm.sampleBytes = pnm.maxValue > 255 ? 2 : 1;
        pnm.fileSize = FSize(pnm.fileId);
        pnm.supported = pnm.bytesPP > 0 && pnm.maxValue >= 1 && pnm.maxValue <= kMaxSample &&
                        FFSaneGeometry(pnm.width, pnm.height, pnm.bitsPP);
    });
}

void PNMLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QPNMHandle pnm;
        QPNMReader rd{};
        PNMOpen_(pnm, rd, fileName);
        if (!pnm.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        const int64_t samples = int64_t{pnm.width} * pnm.height * pnm.bytesPP;
        const int64_t left = pnm.fileSize - rd.consumed;
        // Refuse a file too short for its pixels before allocating: binary samples take one or
        // two bytes each, ASCII samples at least one character.
        if (!pnm.ascii && samples * pnm.sampleBytes > left) ErrFail(ERR_FILE, FILE_READ);
        if (pnm.ascii && samples > left) ErrFail(ERR_IMG, IMG_CORRUPT);

        _imgalloc_(image, pnm.width, pnm.height, "FF_PNM.PNMLoad.img", __LINE__, pnm.bitsPP);
        uint8_t* p = image.data;
        if (pnm.ascii) {
            for (int64_t k = 0; k < samples; ++k) p[k] = PNMScale_(pnm, PNMNumber_(rd, IMG_CORRUPT));
        } else if (pnm.sampleBytes == 1) {
            FSeek(pnm.fileId, rd.consumed);
            FRead(pnm.fileId, p, static_cast<int32_t>(samples));
            if (pnm.maxValue != 255)
                for (int64_t k = 0; k < samples; ++k) p[k] = PNMScale_(pnm, p[k]);
        } else {
            // Two big-endian bytes per sample, read a buffer at a time.
            FSeek(pnm.fileId, rd.consumed);
            const int64_t perFill = sizeof rd.buffer / 2;
            for (int64_t done = 0; done < samples;) {
                const int64_t n = std::min(perFill, samples - done);
                FRead(pnm.fileId, rd.buffer, static_cast<int32_t>(2 * n));
                for (int64_t k = 0; k < n; ++k)
                    p[done + k] = PNMScale_(pnm, (rd.buffer[2 * k] << 8) | rd.buffer[2 * k + 1]);
                done += n;
            }
        }
        FClose(pnm.fileId);
        ImgSetSize(image, pnm.width, pnm.height, pnm.bitsPP);
        if (pnm.bytesPP == 1) PalGreyRamp(image.palette);
        else ImgSwapRB(image, image);
    });
}

void PNMInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QPNMHandle pnm;
        QPNMReader rd{};
        PNMOpen_(pnm, rd, fileName);
        FClose(pnm.fileId);
        FFFillPictureInfo(info, static_cast<double>(pnm.fileSize), pnm.width, pnm.height, pnm.bytesPP,
                        pnm.bytesPP * 8, pnm.supported);
        info.videoCompression = pnm.ascii ? "Ascii encoded" : "Binary encoded";
    });
}

}  // namespace kelvora
