// Still loading and the file information of one format (KV_FUZZ_TYPE, named by the build):
// ImgLoad, FFInfo and, for the readers that have it, ImgLoadRows with the type given, as the
// program calls them once the format is known.
// A picture that loads must be whole: a valid record of a depth the image layer takes, with
// every pixel inside its block.

#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "formats/ConFormStill.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, KV_FUZZ_EXT);
    const fuzz::RegisterGuard guard;

    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    if (fuzz::Try("ImgLoad", [&] { ImgLoad(path, img, KV_FUZZ_TYPE); })) {
        const int32_t b = img.bitsPP;
        const int64_t need = int64_t{img.width} * img.height * img.bytesPP;
        if (!ImgValid(img) || img.width <= 0 || img.height <= 0 ||
            !(b == 8 || b == 15 || b == 16 || b == 24 || b == 32) || img.bytesPP != (b + 7) / 8 ||
            need > img.size || (!img.redirected && need > MemBlockSize(img.data))) {
            std::fprintf(stderr, "kv-fuzz: ImgLoad gave an inconsistent picture %dx%d, %d bits\n",
                         img.width, img.height, b);
            std::abort();
        }
        // Every byte of the picture is read, so that pixels left unset show up under the
        // sanitizers' eyes as reads of a block's bounds rather than not at all.
        volatile uint8_t sum = 0;
        for (int64_t i = 0; i < need; ++i) sum = sum + img.data[i];
    }
    ImgFree(img);

    QffInfo info{};
    const bool described = fuzz::Try("FFInfo", [&] { FFInfo(path, KV_FUZZ_TYPE, info); });
    if (described && (info.width < 0 || info.height < 0 || info.fileSize < 0)) {
        std::fprintf(stderr, "kv-fuzz: FFInfo gave negative sizes\n");
        std::abort();
    }

    // The band decode, where the reader has one: no more rows than the picture has, each read
    // whole.
    if (described && info.width > 0 && info.height > 0 && ImgLoadsRows(KV_FUZZ_TYPE)) {
        int64_t rows = 0;
        fuzz::Try("ImgLoadRows", [&] {
            ImgLoadRows(
                path, KV_FUZZ_TYPE, info.width, info.height, [&](const uint8_t* band, int32_t count) {
                    if (count <= 0 || rows + count > info.height) {
                        std::fprintf(stderr, "kv-fuzz: ImgLoadRows gave %d rows after %lld\n",
                                     count, static_cast<long long>(rows));
                        std::abort();
                    }
                    volatile uint8_t sum = 0;
                    for (int64_t i = 0; i < int64_t{count} * info.width * 3; ++i)
                        sum = sum + band[i];
                    rows += count;
                });
        });
    }
    guard.Check("ImgLoad, FFInfo and ImgLoadRows");
    return 0;
}
