// Seeds for the fuzz corpora from the project's own writers: small HAV movies of every codec and
// depth (with and without sound), PPM, BMP and PNG pictures of each depth, PCM WAV files;
// and two Bayer sensor dumps.
// Usage: kv-fuzz-seeds FOLDER; the files go into FOLDER/<target>/.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/FFWrite.h"
#include "formats/HavWriter.h"
#include "image/ImgBasic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

constexpr int32_t kWidth = 20;
constexpr int32_t kHeight = 12;

// A gradient that moves with `t`, a block that jumps now and then, and a palette that turns.
Qimg Picture(int32_t bits, int32_t t) {
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    _imgalloc_(img, kWidth, kHeight, "kv-fuzz-seeds.img", __LINE__, bits);
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x) {
            const bool block = x / 5 == t % 4 && y / 4 == t % 3;
            const uint8_t v = block ? 250 : static_cast<uint8_t>((x * 12 + y * 7 + t * 5) & 0xFF);
            uint8_t* p = img.data + (y * kWidth + x) * img.bytesPP;
            for (int32_t b = 0; b < img.bytesPP; ++b) p[b] = static_cast<uint8_t>(v + 31 * b);
        }
    for (int32_t i = 0; i < 256; ++i)
        img.palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                          static_cast<uint8_t>(i * 3 + t)};
    return img;
}

void Movie(const std::string& name, int32_t bytesPP, int32_t codec, int32_t key, bool sound) {
    QWaveFmt fmt{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    QHavWriter w{};
    HAVCreate(w, name, kWidth, kHeight, bytesPP, codec, key, 10, sound ? &fmt : nullptr);
    std::vector<uint8_t> tone(800);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<uint8_t>(128 + 100 * std::sin(static_cast<double>(i) * 0.3));
    for (int32_t t = 0; t < 7; ++t) {
        Qimg img = Picture(8 * bytesPP, t);
        HAVAddFrame(w, img);
        ImgFree(img);
        if (sound) HAVAddSound(w, tone.data(), static_cast<int32_t>(tone.size()));
    }
    HAVWriterClose(w);
}

void Wav(const std::string& name, uint16_t channels, uint16_t bits) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    QWaveFmt fmt{WAVE_FORMAT_PCM, channels, 11025, 11025u * align, align, bits, 0};
    QWavWriter w{};
    WAVWriterCreate(w, name, fmt);
    std::vector<uint8_t> samples(600 * align);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 37);
    WAVWriterAdd(w, samples.data(), 600);
    WAVWriterClose(w);
}

// Bayer pictures have no writer: a sensor dump of 144 rows of 512 samples and the 1024-byte
// trailer (camera model, "BAY 2", colour mode, exposure code), as the camera leaves them.
void Bayer(const std::string& name, char mode) {
    std::string bytes(512 * 144 + 1024, '\0');
    for (size_t i = 0; i < 512 * 144; ++i) bytes[i] = static_cast<char>((i * 7) ^ (i >> 9));
    const char trailer[] = {'E', 'K', ' ', 'B', 'A', 'Y', ' ', '2', mode, 0, 0, 3};
    bytes.replace(512 * 144, sizeof trailer, trailer, sizeof trailer);
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f))
        std::perror(name.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv-fuzz-seeds FOLDER\n");
        return 2;
    }
    const std::string root = argv[1];
    for (const char* dir : {"hav", "pnm", "bmp", "png", "wav", "bay"})
        std::filesystem::create_directories(root + "/" + dir);
    try {
        Monitored([&] {
            for (int32_t codec : {HAV_CODEC_BEST, HAV_CODEC_FAST, HAV_CODEC_BESTP})
                for (int32_t bpp = 1; bpp <= 3; ++bpp)
                    Movie(root + "/hav/writer-c" + std::to_string(codec) + "-b" +
                              std::to_string(bpp) + ".hav",
                          bpp, codec, bpp == 2 ? 0 : 3, bpp != 3);
            for (int32_t bits : {8, 15, 16, 24, 32}) {
                Qimg img = Picture(bits, 1);
                const std::string stem = "/writer-" + std::to_string(bits);
                ImgSavePPM(root + "/pnm" + stem + ".ppm", img);
                ImgSaveBMP(root + "/bmp" + stem + ".bmp", img);
                ImgSavePNG(root + "/png" + stem + ".png", img);
                ImgFree(img);
            }
            Wav(root + "/wav/writer-8-mono.wav", 1, 8);
            Wav(root + "/wav/writer-16-stereo.wav", 2, 16);
            Wav(root + "/wav/writer-24-mono.wav", 1, 24);
            Bayer(root + "/bay/colour.bay", 1);
            Bayer(root + "/bay/grey.bay", 0);
        });
    } catch (const EMon& e) {
        std::fprintf(stderr, "kv-fuzz-seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
