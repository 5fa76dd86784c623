#include "support/TestSupport.h"

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kelvora::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    old_ = old ? old : "";
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_, old_.c_str(), 1);
    else
        unsetenv(name_);
}

ScopedXdgDirs::ScopedXdgDirs(const std::string& root)
    : config("XDG_CONFIG_HOME", root + "/config"), data("XDG_DATA_HOME", root + "/data") {
    std::filesystem::create_directories(root + "/config");
    std::filesystem::create_directories(root + "/data/applications");
}

int OpenFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

uint64_t Fnv1a(const void* data, size_t size, uint64_t hash) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HaveTools(std::initializer_list<const char*> tools) {
    for (const char* tool : tools)
        if (!RunQuiet(std::string("command -v ") + tool)) return false;
    return true;
}

bool RunQuiet(const std::string& command) {
    return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::vector<int16_t> FfmpegS16(const std::string& path) {
    const std::string raw = path + ".ffmpeg.s16";
    std::vector<int16_t> samples;
    if (RunQuiet("ffmpeg -nostdin -v error -y -i '" + path + "' -f s16le -acodec pcm_s16le '" +
                 raw + "'")) {
        const std::string bytes = ReadFileBytes(raw);
        samples.resize(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    }
    std::remove(raw.c_str());
    return samples;
}

bool MakeOggFixture(const TempDir& dir, const std::string& name, int32_t rate, int32_t channels,
                    const std::string& synth) {
    const std::string base = dir.file(name);
    return RunQuiet("sox -R -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
                    " -b 16 '" + base + ".wav' synth " + synth) &&
           RunQuiet("oggenc -Q -o '" + base + ".ogg' '" + base + ".wav'") &&
           RunQuiet("oggdec -Q -R -o '" + base + ".raw' '" + base + ".ogg'");
}

std::string FfmpegPictures(const std::string& path, const char* pixFmt) {
    const std::string out = path + "." + pixFmt + ".raw";
    std::string bytes;
    if (RunQuiet("ffmpeg -nostdin -v error -y -i '" + path +
                 "' -map 0:v:0 -vsync passthrough -sws_flags "
                 "bicubic+accurate_rnd+full_chroma_int+bitexact -f rawvideo -pix_fmt " +
                 pixFmt + " '" + out + "'"))
        bytes = ReadFileBytes(out);
    std::remove(out.c_str());
    return bytes;
}

double Psnr(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]);
        sum += d * d;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

int MaxSampleDiff(const int16_t* a, const int16_t* b, size_t count) {
    int worst = 0;
    for (size_t i = 0; i < count; ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

}  // namespace kelvora::test
