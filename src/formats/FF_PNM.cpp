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

// Header and ASCII characters come through a buffer of this size.
constexpr int64_t kBufferBytes = 16384;

uint8_t PNMRaw_(QByteReader& rd) {
    const uint8_t* c = BrTake(rd, 1);
    if (!c) ErrFail(ERR_IMG, IMG_CORRUPT);
    return c ? *c : 0;
}

// The next character; a comment reads as the line end that closes it.
uint8_t PNMChar_(QByteReader& rd) {
    uint8_t c = PNMRaw_(rd);
    if (c == '#') {
        do c = PNMRaw_(rd);
        while (c != '\n' && c != '\r');
    }
    return c;
}

// Skips blanks, then collects characters up to the next blank (which is consumed), `limit` or
// the end of the file (so that a last sample needs no line end after it).
std::string PNMToken_(QByteReader& rd, size_t limit) {
    uint8_t c;
    do c = PNMChar_(rd);
    while (IsSpace_(c));
    std::string token;
    for (;;) {
        token += static_cast<char>(c);
        if (token.size() >= limit || BrFill(rd, 1) <= 0) break;
        c = PNMChar_(rd);
        if (IsSpace_(c)) break;
    }
    return token;
}

// A decimal number token; anything else, or a value above INT32_MAX, raises (ERR_IMG, code).
int32_t PNMNumber_(QByteReader& rd, int32_t code) {
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
    return static_cast<uint8_t>(pnm.sampleShift >= 0 ? value << pnm.sampleShift
                                                     : value >> -pnm.sampleShift);
}

}  // namespace

void PNMOpen_(QPNMHandle& pnm, QByteReader& rd, const std::string& fileName) {
    Monitored([&] {
        pnm = QPNMHandle{};
        pnm.fileId = BAD_HANDLE;
        FOpen(pnm.fileId, fileName, FM_READ);
        BrOpenFile(rd, pnm.fileId, 0, FSize(pnm.fileId), kBufferBytes, "FF_PNM.PNMOpen_.rd.buffer");
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
        if (pnm.maxValue > 0)
            pnm.sampleShift = 8 - std::bit_width(static_cast<uint32_t>(pnm.maxValue));
        pnm.sampleBytes = pnm.maxValue > 255 ? 2 : 1;
        pnm.fileSize = FSize(pnm.fileId);
        pnm.supported = pnm.bytesPP > 0 && pnm.maxValue >= 1 && pnm.maxValue <= kMaxSample &&
                        FFSaneGeometry(pnm.width, pnm.height, pnm.bitsPP);
    });
}

void PNMLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QPNMHandle pnm;
        QByteReader rd{};
        PNMOpen_(pnm, rd, fileName);
        if (!pnm.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        const int64_t samples = int64_t{pnm.width} * pnm.height * pnm.bytesPP;
        const int64_t left = pnm.fileSize - BrTell(rd);
        // Refuse a file too short for its pixels before allocating: binary samples take one or
        // two bytes each, ASCII samples at least one character.
        if (!pnm.ascii && samples * pnm.sampleBytes > left) ErrFail(ERR_FILE, FILE_READ);
        if (pnm.ascii && samples > left) ErrFail(ERR_IMG, IMG_CORRUPT);

        _imgalloc_(image, pnm.width, pnm.height, "FF_PNM.PNMLoad.img", __LINE__, pnm.bitsPP);
        uint8_t* p = image.data;
        if (pnm.ascii) {
            for (int64_t k = 0; k < samples; ++k)
                p[k] = PNMScale_(pnm, PNMNumber_(rd, IMG_CORRUPT));
        } else if (pnm.sampleBytes == 1) {
            // Straight from the file into the picture, after the bytes the header took.
            FSeek(pnm.fileId, BrTell(rd));
            FRead(pnm.fileId, p, static_cast<int32_t>(samples));
            if (pnm.maxValue != 255)
                for (int64_t k = 0; k < samples; ++k) p[k] = PNMScale_(pnm, p[k]);
        } else {
            // Two big-endian bytes per sample, as many whole samples at a time as are at hand.
            for (int64_t done = 0; done < samples;) {
                const int64_t n = std::min(BrFill(rd, 2) / 2, samples - done);
                const uint8_t* q = BrTake(rd, 2 * n);
                if (n <= 0 || !q) ErrFail(ERR_FILE, FILE_READ);
                for (int64_t k = 0; k < n; ++k)
                    p[done + k] = PNMScale_(pnm, (q[2 * k] << 8) | q[2 * k + 1]);
                done += n;
            }
        }
        BrClose(rd);
        FClose(pnm.fileId);
        ImgSetSize(image, pnm.width, pnm.height, pnm.bitsPP);
        if (pnm.bytesPP == 1)
            PalGreyRamp(image.palette);
        else
            ImgSwapRB(image, image);
    });
}

void PNMInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QPNMHandle pnm;
        QByteReader rd{};
        PNMOpen_(pnm, rd, fileName);
        BrClose(rd);
        FClose(pnm.fileId);
        FFFillPictureInfo(info, static_cast<double>(pnm.fileSize), pnm.width, pnm.height,
                          pnm.bytesPP, pnm.bytesPP * 8, pnm.supported);
        info.videoCompression = pnm.ascii ? "Ascii encoded" : "Binary encoded";
    });
}

}  // namespace kelvora
