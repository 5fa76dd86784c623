#include "runtime/iniwrap.h"

#include <charconv>
#include <optional>
#include <utility>
#include <vector>

#include "platform/ProfileFile.h"
#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

// The current target; used from the window thread only.
struct PrefsTarget {
    std::string file;
    std::string section;
    bool batching = false;
    std::vector<std::pair<std::string, std::string>> pending;  // the batch's writes, in order
};
PrefsTarget prefsTarget;

bool HaveTarget_() { return !prefsTarget.file.empty() && !prefsTarget.section.empty(); }

}  // namespace

void PrefsPrepare(const std::string& file, const std::string& section) {
    PrefsBatchEnd();
    prefsTarget.file = file;
    prefsTarget.section = section;
}

std::string _PrefsReadStr(const std::string& key, const std::string& def) {
    if (!HaveTarget_()) return std::string();
    std::string out;
    ProfileGetString(prefsTarget.section, key, def, out, PREFS_BUFFER_SIZE, prefsTarget.file);
    return out;
}

void _PrefsWriteStr(const std::string& key, const std::string& text) {
    if (!HaveTarget_()) return;
    if (prefsTarget.batching)
        prefsTarget.pending.emplace_back(key, text);
    else
        (void)ProfileWriteString(prefsTarget.section, key, text, prefsTarget.file);
}

void PrefsReadStr(const std::string& key, std::string& value, const std::string& def) {
    value = _PrefsReadStr(key, def);
}

void PrefsWriteStr(const std::string& key, const std::string& value) { _PrefsWriteStr(key, value); }

void PrefsReadInt(const std::string& key, int32_t& value, int32_t def) {
    // The typed reads ask with an empty default, so an empty stored value counts as missing.
    const std::string text = _PrefsReadStr(key, std::string());
    const char* first = text.data();
    const char* last = text.data() + text.size();
    // from_chars takes a '-' but not a '+'; a '+' must still be followed by a digit.
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') {
            value = def;
            return;
        }
    }
    int32_t parsed = 0;
    const auto res = std::from_chars(first, last, parsed, 10);
    value = (first != last && res.ec == std::errc() && res.ptr == last) ? parsed : def;
}

void PrefsWriteInt(const std::string& key, int32_t value) {
    _PrefsWriteStr(key, std::to_string(value));
}

void PrefsReadBool(const std::string& key, bool& value, bool def) {
    const std::string text = _PrefsReadStr(key, std::string());
    value = def;
    if (text.empty()) return;
    switch (text[0]) {
        case '1':
        case 'T':
        case 't':
        case 'Y':
        case 'y': value = true; break;
        case '0':
        case 'F':
        case 'f':
        case 'N':
        case 'n': value = false; break;
        default: break;
    }
}

void PrefsWriteBool(const std::string& key, bool value) { _PrefsWriteStr(key, value ? "1" : "0"); }

void PrefsReadFloat(const std::string& key, double& value, double def) {
    value = StrToFloatDef(_PrefsReadStr(key, std::string()), def);
}

void PrefsWriteFloat(const std::string& key, double value) {
    // Fixed notation, 10 decimals, at least 10 characters; "." whatever the locale.
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 10);
    std::string text = res.ec == std::errc() ? std::string(buf, res.ptr) : std::string();
    if (text.size() < 10) text.insert(0, 10 - text.size(), ' ');
    _PrefsWriteStr(key, text);
}

void PrefsBatchBegin() {
    PrefsBatchEnd();
    prefsTarget.batching = true;
}

void PrefsBatchEnd() {
    if (!prefsTarget.batching) return;
    prefsTarget.batching = false;
    std::vector<std::pair<std::string, std::string>> pending;
    pending.swap(prefsTarget.pending);
    if (HaveTarget_() && !pending.empty())
        (void)ProfileWriteStrings(prefsTarget.section, pending, prefsTarget.file);
}

void PrefsFlushCache() {
    if (prefsTarget.file.empty()) return;
    (void)ProfileWriteString(std::nullopt, std::nullopt, std::nullopt, prefsTarget.file);
}

}  // namespace kelvora
