// The profile (INI) files: a read of one key, then a write of that key into whatever the file
// holds, which a read must give back; then the key and its section deleted again. The input
// gives the section and key names (from a small alphabet, so that they meet the file's own
// names, in any case) and the file.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "FuzzSupport.h"
#include "platform/ProfileFile.h"
#include "runtime/iniwrap.h"

using namespace kelvora;

namespace {

std::string Name(FuzzedDataProvider& in) {
    static constexpr char kAlphabet[] = "aAbB1_";
    std::string name(1 + in.ConsumeIntegralInRange<size_t>(0, 2), 'a');
    for (char& c : name) c = kAlphabet[in.ConsumeIntegralInRange<size_t>(0, sizeof kAlphabet - 2)];
    return name;
}

[[noreturn]] void Fail(const char* what, const std::string& section, const std::string& key,
                       const std::string& got) {
    std::fprintf(stderr, "kv-fuzz: %s: [%s] %s read back as \"%s\"\n", what, section.c_str(),
                 key.c_str(), got.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = Name(in);
    const std::string key = Name(in);
    const std::vector<uint8_t> text = in.ConsumeRemainingBytes<uint8_t>();
    const std::string path = fuzz::InputFile(text.data(), text.size(), ".ini");
    const fuzz::RegisterGuard guard;

    std::string out;
    ProfileGetString(section, key, "", out, PREFS_BUFFER_SIZE, path);
    // The settings layer over the same file: numbers, truth values and fractions.
    PrefsPrepare(path, section);
    int32_t number = 0;
    bool flag = false;
    double fraction = 0;
    PrefsReadInt(key, number, 7);
    PrefsReadBool(key, flag, true);
    PrefsReadFloat(key, fraction, 0.5);

    const std::string value = "written value";
    if (!ProfileWriteString(section, key, value, path)) Fail("refused write", section, key, "");
    ProfileGetString(section, key, "(none)", out, PREFS_BUFFER_SIZE, path);
    if (out != value) Fail("write", section, key, out);

    if (!ProfileWriteString(section, key, std::nullopt, path))
        Fail("refused delete", section, key, "");
    ProfileGetString(section, key, "(none)", out, PREFS_BUFFER_SIZE, path);
    // Another line of the same key further down counts once the first is gone.
    if (out == value) Fail("key delete", section, key, out);

    if (!ProfileWriteString(section, std::nullopt, std::nullopt, path))
        Fail("refused section delete", section, key, "");
    PrefsPrepare("", "");
    guard.Check("the profile routines");
    return 0;
}
