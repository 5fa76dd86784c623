#include "platform/PlatformText.h"

#include <algorithm>

namespace kelvora {

namespace {

template <class IsTrimmed>
std::string_view TrimWith_(std::string_view s, IsTrimmed isTrimmed) {
    while (!s.empty() && isTrimmed(s.front())) s.remove_prefix(1);
    while (!s.empty() && isTrimmed(s.back())) s.remove_suffix(1);
    return s;
}

bool IsControl_(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

}  // namespace

char LowerAsciiChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAsciiChar(c);
    return out;
}

bool SameAsciiText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
    return true;
}

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool AsciiAlnumOr(std::string_view s, std::string_view extra) {
    return std::all_of(s.begin(), s.end(), [&](char c) {
        return IsAsciiAlnum(c) || extra.find(c) != std::string_view::npos;
    });
}

bool HasControlChars(std::string_view s) { return std::any_of(s.begin(), s.end(), IsControl_); }

std::string_view TrimBlanks(std::string_view s) {
    return TrimWith_(s, [](char c) { return c == ' ' || c == '\t'; });
}

std::string_view TrimLineSpace(std::string_view s) {
    return TrimWith_(s, [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; });
}

std::string_view TrimControls(std::string_view s) {
    return TrimWith_(s, [](char c) { return c == ' ' || IsControl_(c); });
}

std::vector<std::string_view> SplitText(std::string_view s, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        const size_t end = s.find(separator, start);
        if (end == std::string_view::npos) break;
        pieces.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    pieces.push_back(s.substr(start));
    return pieces;
}

std::vector<std::string_view> SplitLines(std::string_view data) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string_view::npos) end = data.size();
        std::string_view line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string NoTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool KeyFileGroupLine(std::string_view line, std::string_view& name) {
    const std::string_view t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
    name = t.substr(1, t.size() - 2);
    return true;
}

bool KeyFileKeyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    const std::string_view t = TrimBlanks(line);
    if (t.empty() || t.front() == '#') return false;
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    key = TrimBlanks(t.substr(0, eq));
    value = TrimBlanks(t.substr(eq + 1));
    return !key.empty();
}

std::vector<std::string> KeyFileSplitList(std::string_view value) {
    std::vector<std::string> items;
    for (std::string_view piece : SplitText(value, ';')) {
        const std::string_view item = TrimBlanks(piece);
        if (!item.empty()) items.emplace_back(item);
    }
    return items;
}

std::string KeyFileJoinList(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += s + ';';
    return out;
}

std::vector<std::string> SplitCommandWords(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

}  // namespace kelvora
