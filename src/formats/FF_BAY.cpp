#include "formats/FF_BAY.h"

#include <cstring>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr int32_t kBayWidth = 512;
constexpr int64_t kSmallFile = 74752;   // 512 x 144 samples + trailer
constexpr int64_t kLargeFile = 197632;  // 512 x 384 samples + trailer
constexpr int32_t kTrailerUsed = 12;

// Offset of the sample at image row y, column x in the block-ordered data.
inline int64_t SampleAt_(int32_t width, int32_t y, int32_t x) {
    return int64_t{y >> 1} * width * 2 + (x >> 1) * 4 + (y & 1) * 2 + (x & 1);
}

// The samples around one 2 x 2 block. Samples outside the image are replaced by samples of the
// same block; at the first block column the rows above and below still use the real samples
// where they exist, and s(2r+2, -1) (a red site) takes TR like the other left-edge red sites.
struct BlockWindow_ {
    const uint8_t* samples;
    int32_t width, height;
    int32_t row0;  // 2r, the block's top row
    int32_t tl, tr, bl, br;

    int32_t operator()(int32_t y, int32_t x) const {
        if (y < 0) return (x & 1) ? tl : bl;
        if (y >= height) return (x & 1) ? tr : br;
        if (x < 0) return y - row0 == 1 ? br : tr;
        if (x >= width) {
            switch (y - row0) {
                case -1: return tr;
                case 1: return bl;
                default: return tl;  // rows 2r and 2r+2
            }
        }
        return samples[SampleAt_(width, y, x)];
    }
};

inline void PutBGR_(uint8_t* p, int32_t blue, int32_t green, int32_t red) {
    p[0] = static_cast<uint8_t>(blue);
    p[1] = static_cast<uint8_t>(green);
    p[2] = static_cast<uint8_t>(red);
}

double ExposureOf_(const std::string& model, uint8_t code) {
    static const double kML[] = {30, 60, 125, 250, 500, 1000, 2000};
    static const double kEK[] = {250, 500, 1000};
    if (model == "ML" && code >= 1 && code <= 7) return kML[code - 1];
    if ((model == "EK" || model == "RO") && code >= 1 && code <= 3) return kEK[code - 1];
    return 0;
}

std::string CompressionText_(const QBayHandle& bay) {
    std::string text = bay.model;
    if (bay.model == "EK" && bay.channels == 1)
        text = "HR";
    else if (bay.model == "EK" && bay.channels == 3)
        text = "HRC";
    else if (bay.model == "ML")
        text = "HG";
    if (bay.channels == 1)
        text += " (monochrome)";
    else if (bay.channels == 3)
        text += " (color)";
    return text;
}

}  // namespace

void BayOpen_(QBayHandle& bay, const std::string& fileName) {
    Monitored([&] {
        bay = QBayHandle{};
        bay.fileId = BAD_HANDLE;
        FOpen(bay.fileId, fileName, FM_READ);
        // The exact length is the only header: it fixes the height and bounds every read.
        const int64_t size = FSize(bay.fileId);
        if (size == kSmallFile)
            bay.height = 144;
        else if (size == kLargeFile)
            bay.height = 384;
        else
            ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        bay.fileSize = static_cast<int32_t>(size);
        bay.width = kBayWidth;

        uint8_t trailer[kTrailerUsed];
        FSeek(bay.fileId, int64_t{bay.width} * bay.height);
        FRead(bay.fileId, trailer, kTrailerUsed);
        QByteReader br = ByteReader(trailer, kTrailerUsed);
        char model[2];
        char signature[5];
        BrBytes(br, model, 2);
        BrSkip(br, 1);
        BrBytes(br, signature, 5);
        const uint8_t mode = BrU8(br);
        BrSkip(br, 2);
        const uint8_t exposureCode = BrU8(br);
        if (br.overrun || std::memcmp(signature, "BAY 2", 5) != 0)
            ErrFail(ERR_IMG, IMG_INVALID_FORMAT);

        bay.model.assign(model, 2);
        bay.exposure = ExposureOf_(bay.model, exposureCode);
        bay.channels = mode == 1 ? 3 : mode == 2 ? 1 : 0;
        bay.valid = bay.channels != 0;
        bay.colour = bay.channels == 3;
        FSeek(bay.fileId, 0);
    });
}

void BayColor_(const uint8_t* samples, uint8_t* pixels, int32_t width, bool topDown, int32_t height) {
    const int64_t stride = int64_t{width} * 3;
    for (int32_t y0 = 0; y0 < height; y0 += 2) {
        uint8_t* upper = pixels + (topDown ? y0 : height - 1 - y0) * stride;
        uint8_t* lower = pixels + (topDown ? y0 + 1 : height - 2 - y0) * stride;
        for (int32_t x0 = 0; x0 < width; x0 += 2) {
            const uint8_t* b = samples + SampleAt_(width, y0, x0);
            const BlockWindow_ s{samples, width, height, y0, b[0], b[1], b[2], b[3]};
            const int32_t tl = s.tl, tr = s.tr, bl = s.bl, br = s.br;
            // (2r, 2c): green site.
            PutBGR_(upper + x0 * 3, (s(y0 - 1, x0) + bl) / 2, tl, (s(y0, x0 - 1) + tr) / 2);
            // (2r, 2c+1): red site.
            PutBGR_(upper + (x0 + 1) * 3,
                    (s(y0 - 1, x0) + s(y0 - 1, x0 + 2) + bl + s(y0 + 1, x0 + 2)) / 4,
                    (s(y0 - 1, x0 + 1) + tl + s(y0, x0 + 2) + br) / 4, tr);
            // (2r+1, 2c): blue site.
            PutBGR_(lower + x0 * 3, bl, (tl + s(y0 + 1, x0 - 1) + br + s(y0 + 2, x0)) / 4,
                    (s(y0, x0 - 1) + tr + s(y0 + 2, x0 - 1) + s(y0 + 2, x0 + 1)) / 4);
            // (2r+1, 2c+1): green site.
            PutBGR_(lower + (x0 + 1) * 3, (bl + s(y0 + 1, x0 + 2)) / 2, br,
                    (tr + s(y0 + 2, x0 + 1)) / 2);
        }
    }
}

void BayLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QBayHandle bay;
        BayOpen_(bay, fileName);
        if (!bay.valid) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        _imgalloc_(image, bay.width, bay.height, "FF_BAY.BayLoad.img", __LINE__, 8 * bay.channels);
        const int32_t count = bay.width * bay.height;
        uint8_t* cmpsData = nullptr;
        _memalloc_(cmpsData, count, __LINE__, MEM_KIND_C, "FF_BAY.BayLoad.cmpsData");
        FRead(bay.fileId, cmpsData, count);
        FClose(bay.fileId);
        if (bay.colour) {
            BayColor_(cmpsData, image.data, bay.width, true, bay.height);
        } else {
            for (int32_t y = 0; y < bay.height; ++y)
                for (int32_t x = 0; x < bay.width; ++x)
                    image.data[int64_t{y} * bay.width + x] = cmpsData[SampleAt_(bay.width, y, x)];
            PalGreyRamp(image.palette);
        }
        MemFree(cmpsData);
    });
}

void BayInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QBayHandle bay;
        BayOpen_(bay, fileName);
        FClose(bay.fileId);
        FFFillPictureInfo(info, bay.fileSize, bay.width, bay.height, bay.channels, 8 * bay.channels,
                          bay.valid);
        info.frameRate = bay.exposure;
        info.videoCompression = FFShortStr(CompressionText_(bay));
    });
}

}  // namespace kelvora
