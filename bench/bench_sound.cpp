// Random access into long WAV files: a seek to a random sample frame followed by a one-second
// load, through the unified layer as the player does it, on a one-hour 44.1 kHz stereo file in
// 16-bit PCM and in IMA ADPCM (made by sox on first use; skipped without sox). Target: at most
// 5 ms per seek and load.
//
// KV_BENCH_DIR names a folder that already holds hour-pcm.wav and hour-ima.wav (the sound
// benchmark script makes them once for all its runs).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "media/ConForm.h"
#include "runtime/Errors.h"
#include "sound/SndBasic.h"

using namespace kelvora;

namespace {

// The folder with the two files, made on first use and removed at exit unless it was given.
const std::string& HourDir() {
    static const std::string dir = [] {
        if (const char* given = std::getenv("KV_BENCH_DIR")) return std::string(given);
        std::string pattern = (std::filesystem::temp_directory_path() / "kv-bench-snd-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        const std::string make = "sox -n -r 44100 -c 2 -b 16 '" + pattern +
                                 "/hour-pcm.wav' synth 3600 sine 300-3000 sine 440 vol 0.5 && "
                                 "sox '" +
                                 pattern + "/hour-pcm.wav' -e ima-adpcm '" + pattern +
                                 "/hour-ima.wav'";
        if (std::system(("(" + make + ") >/dev/null 2>&1").c_str()) != 0)
            std::fprintf(stderr, "bench_sound: sox could not make the files\n");
        std::atexit([] { std::filesystem::remove_all(HourDir()); });
        return pattern;
    }();
    return dir;
}

void SeekAndLoad(benchmark::State& state, const char* name) {
    const std::string file = HourDir() + "/" + name;
    QUniInfo info;
    if (!UniInfo(file, info, 1, false) || info.snd.duration < 3599) {
        state.SkipWithError("no one-hour WAV file (is sox installed?)");
        return;
    }
    UniHandle h{};
    Qsnd sound{};
    MonitoredIsolated([&] { UniOpen(h, info); });
    if (!ErrNone()) {
        state.SkipWithError(ErrLastText().c_str());
        return;
    }
    const int32_t rate = static_cast<int32_t>(info.snd.rate);
    std::mt19937 random(17);
    std::uniform_int_distribution<int32_t> where(0, info.snd.soundSamples - rate);
    for (auto _ : state) {
        MonitoredIsolated([&] { UniSndLoad(h, sound, where(random), false, rate); });
        if (!ErrNone() || sound.samples != rate) {
            state.SkipWithError("a load came back short");
            break;
        }
    }
    SndFree(sound);
    MonitoredIsolated([&] { UniClose(h); });
}

void BM_SeekAndLoad1s_Pcm(benchmark::State& state) { SeekAndLoad(state, "hour-pcm.wav"); }
void BM_SeekAndLoad1s_ImaAdpcm(benchmark::State& state) { SeekAndLoad(state, "hour-ima.wav"); }
BENCHMARK(BM_SeekAndLoad1s_Pcm)->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_SeekAndLoad1s_ImaAdpcm)->Unit(benchmark::kMillisecond)->Iterations(100);

}  // namespace
