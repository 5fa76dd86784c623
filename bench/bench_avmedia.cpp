// The media layer on today's containers: every frame of a 1920 x 1080 H.264 clip decoded in
// order; opening a 2-hour MP4 and a 2-hour Matroska movie; one frame from the middle of the
// 2-hour MP4 right after opening it, beside the decoding of the key interval it needs.
//
// KV_BENCH_DIR names the folder with hd.mp4, long.mp4, long.mkv and cut.mp4 (made by
// scripts/bench-avf.sh). A missing file skips its benchmark. KV_BENCH_VECTORS (bits) holds the
// picture converter to narrower vectors, to see what a processor without AVX-512 gets.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/AvMedia.h"
#include "platform/AvPicture.h"

extern "C" {
#include <libavutil/frame.h>
}

using namespace kelvora;

namespace {

// The converter's vectors for the whole program (KV_BENCH_VECTORS, else the widest).
const int kVectorBits = [] {
    const char* bits = std::getenv("KV_BENCH_VECTORS");
    const int held = bits ? std::atoi(bits) : 512;
    AvPictureLimitVectors(held);
    return held;
}();

std::string File(const char* name) {
    const char* dir = std::getenv("KV_BENCH_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

QAvMedia* Open(benchmark::State& state, const char* name) {
    std::string error;
    QAvMedia* m = AvMediaOpen(File(name), error);
    if (!m) state.SkipWithError((std::string(name) + ": " + error).c_str());
    return m;
}

void BM_DecodeAll_H264_1080p(benchmark::State& state) {
    int64_t frames = 0;
    for (auto _ : state) {
        QAvMedia* m = Open(state, "hd.mp4");
        if (!m) return;
        const QAvVideoFacts& v = AvMediaFacts(m).video;
        std::vector<uint8_t> pic(size_t(v.width) * v.height * 3);
        frames = v.frames;
        for (int64_t i = 0; i < v.frames; ++i)
            if (!AvMediaFrame(m, i, pic.data(), pic.size())) {
                state.SkipWithError(("frame " + std::to_string(i)).c_str());
                break;
            }
        AvMediaClose(m);
    }
    state.counters["frames"] = double(frames);
}
BENCHMARK(BM_DecodeAll_H264_1080p)->Unit(benchmark::kSecond)->Iterations(1);

void OpenClose(benchmark::State& state, const char* name) {
    int64_t frames = 0;
    for (auto _ : state) {
        QAvMedia* m = Open(state, name);
        if (!m) return;
        frames = AvMediaFacts(m).video.frames;
        state.PauseTiming();  // closing (freeing the tables) is not part of the open
        AvMediaClose(m);
        state.ResumeTiming();
    }
    state.counters["frames"] = double(frames);
}
void BM_Open_2h_Mp4(benchmark::State& state) { OpenClose(state, "long.mp4"); }
void BM_Open_2h_Mkv(benchmark::State& state) { OpenClose(state, "long.mkv"); }
// The second hour of the MP4 cut out by a stream copy: an edit list that cuts pictures and sound.
void BM_Open_1h_Cut_Mp4(benchmark::State& state) { OpenClose(state, "cut.mp4"); }
BENCHMARK(BM_Open_2h_Mp4)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Open_1h_Cut_Mp4)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Open_2h_Mkv)->Unit(benchmark::kMillisecond)->Iterations(3);

// Open, then the frame in the middle: what exporting it costs.
void MiddleFrame(benchmark::State& state, const char* name) {
    for (auto _ : state) {
        QAvMedia* m = Open(state, name);
        if (!m) return;
        const QAvVideoFacts& v = AvMediaFacts(m).video;
        std::vector<uint8_t> pic(size_t(v.width) * v.height * 3);
        if (!AvMediaFrame(m, v.frames / 2 + 17, pic.data(), pic.size()))
            state.SkipWithError("middle frame");
        state.PauseTiming();
        AvMediaClose(m);
        state.ResumeTiming();
    }
}
void BM_MiddleFrame_2h_Mp4(benchmark::State& state) { MiddleFrame(state, "long.mp4"); }
void BM_MiddleFrame_2h_Mkv(benchmark::State& state) { MiddleFrame(state, "long.mkv"); }
BENCHMARK(BM_MiddleFrame_2h_Mp4)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MiddleFrame_2h_Mkv)->Unit(benchmark::kMillisecond)->Iterations(3);

// The conversion alone: one decoded 1920 x 1080 4:2:0 picture into bottom-up 24-bit rows, with
// the widest vectors the processor has, or held to narrower ones (0: the plain code).
void Convert1080p(benchmark::State& state, int vectorBits) {
    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = 1920;
    f->height = 1080;
    if (av_frame_get_buffer(f, 0) < 0) {
        state.SkipWithError("no frame");
        return;
    }
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? 540 : 1080); ++y)
            for (int x = 0; x < (p ? 960 : 1920); ++x)
                f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>((x * 7 + y * 3 + p * 50) &
                                                                          255);
    QAvPictureConverter c;
    std::vector<uint8_t> pic(size_t(1920) * 1080 * 3);
    AvPictureLimitVectors(vectorBits);
    for (auto _ : state) {
        AvPictureToPacked24(c, *f, 1920, 1080, false, pic.data() + size_t(1079) * 1920 * 3,
                            -1920 * 3);
        benchmark::DoNotOptimize(pic.data());
    }
    AvPictureLimitVectors(kVectorBits);
    av_frame_free(&f);
}
void BM_Convert_1080p(benchmark::State& state) { Convert1080p(state, kVectorBits); }
void BM_Convert_1080p_Vectors(benchmark::State& state) {
    Convert1080p(state, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_Convert_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_1080p_Vectors)->Arg(256)->Arg(128)->Arg(0)->Unit(benchmark::kMillisecond);

// Every frame of one key interval from its key frame: the least a frame in the middle needs.
void BM_DecodeKeyInterval_2h_Mp4(benchmark::State& state) {
    QAvMedia* m = Open(state, "long.mp4");
    if (!m) return;
    const QAvVideoFacts& v = AvMediaFacts(m).video;
    std::vector<uint8_t> pic(size_t(v.width) * v.height * 3);
    const int64_t mid = v.frames / 2 + 17;
    int64_t key = 0, next = v.frames;
    for (int64_t k : v.keyFrames) {
        if (k <= mid)
            key = k;
        else {
            next = k;
            break;
        }
    }
    for (auto _ : state) {
        for (int64_t i = key; i < next; ++i) AvMediaFrame(m, i, pic.data(), pic.size());
        state.PauseTiming();
        AvMediaFrame(m, 0, pic.data(), pic.size());  // away from the interval
        state.ResumeTiming();
    }
    state.counters["frames"] = double(next - key);
    AvMediaClose(m);
}
BENCHMARK(BM_DecodeKeyInterval_2h_Mp4)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
