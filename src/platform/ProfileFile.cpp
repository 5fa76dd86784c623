#include "platform/ProfileFile.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileIO.h"
#include "platform/PlatformText.h"
#include "platform/UserDirs.h"

namespace kelvora {

namespace {

// A profile file is a small settings file; anything larger is not one, and reading it whole
// for every lookup (or rewriting it) would be unreasonable.
constexpr off_t kMaxFileBytes = 64 * 1024 * 1024;

bool HasLineEnd_(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

enum class LineKind { Other, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed (quotes still on)
};

ParsedLine ParseLine_(std::string_view line) {
    ParsedLine p;
    const std::string_view t = TrimLineSpace(line);
    if (t.empty() || t[0] == ';') return p;
    if (t[0] == '[') {
        // The name runs to the last ']' of the line; without one the line means nothing.
        const size_t close = t.rfind(']');
        if (close == std::string_view::npos || close == 0) return p;
        p.kind = LineKind::Section;
        p.name = TrimLineSpace(t.substr(1, close - 1));
        return p;
    }
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos) return p;
    p.name = TrimLineSpace(t.substr(0, eq));
    if (p.name.empty()) return p;
    p.kind = LineKind::Key;
    p.value = TrimLineSpace(t.substr(eq + 1));
    return p;
}

// The contents of a file cut into lines (without their line ends).
struct Lines {
    std::vector<std::string_view> lines;
    bool crlf = false;  // the first line end is CR-LF

    ParsedLine Parse(size_t i) const {
        std::string_view line = lines[i];
        // A UTF-8 byte-order mark in front of the first line is not part of it.
        if (i == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        return ParseLine_(line);
    }
};

Lines SplitLines_(const std::string& data) {
    Lines out;
    bool sawEnd = false;
    size_t start = 0;
    const size_t n = data.size();
    size_t i = 0;
    while (i < n) {
        const char c = data[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        out.lines.emplace_back(data.data() + start, i - start);
        const bool pair = c == '\r' && i + 1 < n && data[i + 1] == '\n';
        if (!sawEnd) {
            out.crlf = pair;
            sawEnd = true;
        }
        i += pair ? 2 : 1;
        start = i;
    }
    if (start < n) out.lines.emplace_back(data.data() + start, n - start);
    return out;
}

}  // namespace

std::string ProfileResolvePath(const std::string& file) {
    if (file.empty() || file.find('/') != std::string::npos) return file;
    const std::string dir = ConfigHome();
    if (dir.empty()) return std::string();  // no home: nowhere to keep the file
    return dir == "/" ? dir + file : dir + "/" + file;
}

uint32_t ProfileGetString(const std::string& section, const std::string& key, const std::string& def,
                          std::string& out, uint32_t size, const std::string& file) {
    out.clear();
    if (size == 0) return 0;
    const size_t limit = size - 1;
    std::string_view found;
    bool have = false;
    std::string data;
    const std::string_view sec = TrimLineSpace(section);
    const std::string_view name = TrimLineSpace(key);
    const std::string path = ProfileResolvePath(file);
    if (!path.empty() && !sec.empty() && !name.empty() &&
        FileLoadWhole(path, data, kMaxFileBytes) == FileLoad::Ok) {
        const Lines text = SplitLines_(data);
        bool inSection = false;
        bool seenSection = false;
        for (size_t i = 0; i < text.lines.size() && !have; ++i) {
            const ParsedLine p = text.Parse(i);
            if (p.kind == LineKind::Section) {
                if (seenSection) break;  // only the first section of that name counts
                inSection = SameAsciiText(p.name, sec);
                seenSection = inSection;
            } else if (p.kind == LineKind::Key && inSection && SameAsciiText(p.name, name)) {
                found = p.value;
                have = true;
            }
        }
        if (have && found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
            found.back() == found.front())
            found = found.substr(1, found.size() - 2);
    }
    if (have)
        out.assign(found.substr(0, limit));
    else
        out.assign(def, 0, limit);
    return static_cast<uint32_t>(out.size());
}

namespace {

// Whether `key` reads back as the same key: one line, no '=', not taken for a section header
// or a comment.
bool UsableKey_(std::string_view name) {
    return !name.empty() && !HasLineEnd_(name) && name.find('=') == std::string_view::npos &&
           name[0] != '[' && name[0] != ';';
}

// `data` with `name`=`value` in the first section `sec`: in it the key's first line replaced,
// else the line added after its last key, else a new section at the end.
std::string WithKey_(const std::string& data, std::string_view sec, std::string_view name,
                     const std::string& value) {
    const Lines text = SplitLines_(data);
    const std::string_view eol = text.crlf ? "\r\n" : "\n";
    const size_t n = text.lines.size();
    std::string out;
    out.reserve(data.size() + sec.size() + name.size() + value.size() + 16);
    auto emit = [&](std::string_view line) {
        out.append(line);
        out.append(eol);
    };
    std::string newLine(name);
    newLine += '=';
    newLine += value;
    size_t secStart = n;
    size_t keyLine = n;
    size_t lastKey = n;
    for (size_t i = 0; i < n; ++i) {
        const ParsedLine p = text.Parse(i);
        if (p.kind == LineKind::Section) {
            if (secStart != n) break;
            if (SameAsciiText(p.name, sec)) secStart = lastKey = i;
        } else if (p.kind == LineKind::Key && secStart != n) {
            lastKey = i;
            if (SameAsciiText(p.name, name)) {
                keyLine = i;
                break;
            }
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (i == keyLine) {
            emit(newLine);
            continue;
        }
        emit(text.lines[i]);
        if (keyLine == n && i == lastKey) emit(newLine);
    }
    if (secStart == n) {
        if (n > 0 && !TrimLineSpace(text.lines[n - 1]).empty()) emit("");
        std::string header("[");
        header += sec;
        header += ']';
        emit(header);
        emit(newLine);
    }
    return out;
}

// The file a profile name leads to, through a symbolic link rather than replacing it.
std::string WriteTarget_(const std::string& file) {
    std::string target = ProfileResolvePath(file);
    if (target.empty()) return target;
    if (char* real = ::realpath(target.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    return target;
}

// A write in progress: the file a profile name leads to and what it held.
struct Edit_ {
    std::string target;
    std::string data;  // as it was read
    mode_t mode = 0;
    bool exists = false;
};

// Reads the file a write will replace; false when it cannot be had (a missing file is empty).
bool Load_(const std::string& file, Edit_& e) {
    e.target = WriteTarget_(file);
    if (e.target.empty()) return false;
    const FileLoad load = FileLoadWhole(e.target, e.data, kMaxFileBytes, &e.mode);
    e.exists = load == FileLoad::Ok;
    return load != FileLoad::Refused;
}

// Replaces the file with `out`.
bool Commit_(const std::string& file, const Edit_& e, const std::string& out) {
    if (e.exists && out == e.data) return true;
    if (!e.exists && file.find('/') == std::string::npos) {
        // The configuration directory of a bare name may not exist yet.
        const size_t slash = e.target.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            std::error_code ec;
            std::filesystem::create_directories(e.target.substr(0, slash), ec);
        }
    }
    return FileReplace(e.target, out, e.exists ? &e.mode : nullptr);
}

}  // namespace

bool ProfileWriteString(const std::optional<std::string>& section,
                        const std::optional<std::string>& key,
                        const std::optional<std::string>& value, const std::string& file) {
    // Nothing is cached, so a flush has nothing to do.
    if (!section && !key && !value) return true;
    if (!section) return false;
    const std::string_view sec = TrimLineSpace(*section);
    if (sec.empty() || HasLineEnd_(sec)) return false;
    std::string_view name;
    if (key) {
        name = TrimLineSpace(*key);
        if (!UsableKey_(name)) return false;
        if (value && HasLineEnd_(*value)) return false;
    }

    Edit_ e;
    if (!Load_(file, e)) return false;

    std::string out;
    if (key && value) {
        out = WithKey_(e.data, sec, name, *value);
    } else {
        const Lines text = SplitLines_(e.data);
        const std::string_view eol = text.crlf ? "\r\n" : "\n";
        out.reserve(e.data.size());
        bool changed = false;
        // Without a key every section of that name goes (its header and all lines up to the
        // next header); without a value the key goes from every section of that name, so that
        // it reads as missing.
        bool inSection = false;
        for (size_t i = 0; i < text.lines.size(); ++i) {
            const ParsedLine p = text.Parse(i);
            if (p.kind == LineKind::Section) inSection = SameAsciiText(p.name, sec);
            const bool drop = inSection &&
                              (!key || (p.kind == LineKind::Key && SameAsciiText(p.name, name)));
            if (drop) {
                changed = true;
                continue;
            }
            out.append(text.lines[i]);
            out.append(eol);
        }
        if (!changed) return true;
    }
    return Commit_(file, e, out);
}

bool ProfileWriteStrings(const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& values,
                         const std::string& file) {
    const std::string_view sec = TrimLineSpace(section);
    if (sec.empty() || HasLineEnd_(sec)) return false;
    for (const auto& [key, value] : values)
        if (!UsableKey_(TrimLineSpace(key)) || HasLineEnd_(value)) return false;
    if (values.empty()) return true;
    Edit_ e;
    if (!Load_(file, e)) return false;
    std::string out = e.data;
    for (const auto& [key, value] : values) out = WithKey_(out, sec, TrimLineSpace(key), value);
    return Commit_(file, e, out);
}

}  // namespace kelvora
