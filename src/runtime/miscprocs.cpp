#include "runtime/miscprocs.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <mutex>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/PlatformText.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// `value` in fixed notation with exactly `decimals` decimals, independent of the locale.
std::string FixedText_(double value, int32_t decimals) {
    if (decimals < 0) decimals = 0;
    // A double has at most 309 integer digits; add sign, point and the decimals.
    std::vector<char> buf(static_cast<size_t>(decimals) + 330);
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                   std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) return std::string();
    return std::string(buf.data(), res.ptr);
}

// Decimal exponent of a finite non-zero value: |value| lies in [10^e, 10^(e+1)).
int32_t DecimalExponent_(double value) {
    const double a = std::fabs(value);
    int32_t e = static_cast<int32_t>(std::floor(std::log10(a)));
    if (std::pow(10.0, e + 1) <= a) ++e;
    if (std::pow(10.0, e) > a) --e;
    return e;
}

bool IsDigit_(char c) { return c >= '0' && c <= '9'; }

// The whole text is [sign] digits [. digits] [e [sign] digits], with at least one digit in
// the mantissa.
bool IsDecimalNumber_(std::string_view t) {
    size_t i = 0;
    const size_t n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    size_t digits = 0;
    while (i < n && IsDigit_(t[i])) ++i, ++digits;
    if (i < n && t[i] == '.') {
        ++i;
        while (i < n && IsDigit_(t[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < n && IsDigit_(t[i])) ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    return i == n;
}

std::string ZeroPad_(std::string digits, size_t width) {
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return digits;
}

}  // namespace

std::string AddBS(const std::string& path) {
    if (path.empty() || path.back() == '/') return path;
    return path + '/';
}

std::string RemoveBS(const std::string& path) {
    size_t n = path.size();
    while (n > 0 && path[n - 1] == '/') --n;
    return path.substr(0, n);
}

std::string InstalledShareDir(const std::string& appDir) {
#ifdef KV_SHARE_FROM_BIN
    const char* fromBin = KV_SHARE_FROM_BIN;
#else
    const char* fromBin = "../share/kelvora";
#endif
    if (appDir.empty()) return std::string();
    const std::string dir = AddBS(AddBS(appDir) + fromBin);
    return DirExists(dir) ? dir : std::string();
}

std::string GetAppDir() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buf.size()) {
            const std::string exe(buf.data(), static_cast<size_t>(n));
            const size_t slash = exe.rfind('/');
            return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
        }
        if (buf.size() >= (1u << 20)) return std::string();
        buf.resize(buf.size() * 2);
    }
}

bool DirExists(const std::string& path) {
    struct stat sb;
    return !path.empty() && ::stat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

std::string BigNumToStr(bool group, double value) {
    std::string sign;
    std::string digits;
    if (value <= 2147483647.0) {
        if (value > -1.0) {
            digits = NumToStr(static_cast<uint32_t>(std::trunc(value)), 0);
        } else {
            // Negative values keep their sign in front of the grouped digits.
            sign = "-";
            digits = FixedText_(std::trunc(-value), 0);
        }
    } else {
        digits = FixedText_(value, 0);
    }
    return sign + (group ? InsertSep(digits, ",", 3) : digits);
}

std::string InsertSep(const std::string& s, const std::string& sep, int32_t n) {
    if (n < 1 || sep.empty()) return s;
    std::string out = s;
    int32_t counter = 1;
    for (size_t k = s.size(); k >= 1; --k) {
        if (counter >= n && k >= 2) {
            out.insert(k - 1, sep);
            counter = 1;
        } else {
            ++counter;
        }
    }
    return out;
}

double StrToFloatDef(const std::string& text, double def) {
    const std::string trimmed = TrimText(text);
    std::string_view t(trimmed);
    if (!IsDecimalNumber_(t)) return def;
    if (t[0] == '+') t.remove_prefix(1);
    double value = 0.0;
    const auto res = std::from_chars(t.data(), t.data() + t.size(), value,
                                     std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return def;
    return value;
}

std::string TrimFloatToStr(int32_t width, int32_t decimals, double value) {
    int32_t d = decimals < 0 ? 0 : decimals;
    // A double carries about 15 significant decimal digits; the digits after the 15th are
    // binary noise (29.97 is stored as 29.969999999999998863...). So at most 15 significant
    // digits are printed whatever the number of decimals asked for, and (0, 50, 29.97) gives
    // "29.97". Fewer decimals than that are honoured exactly.
    if (std::isfinite(value) && value != 0.0) {
        const int32_t e = DecimalExponent_(value);
        if (14 - e < d) d = 14 - e < 0 ? 0 : 14 - e;
    } else if (d > 15) {
        d = 15;
    }
    std::string text = FixedText_(value, d);
    // A value that rounds to zero carries no sign.
    if (!text.empty() && text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos)
        text.erase(0, 1);
    if (width > 0 && text.size() < static_cast<size_t>(width))
        text.insert(0, static_cast<size_t>(width) - text.size(), ' ');
    // Trailing zeros are removed only after a decimal point: 150 with no decimals stays 150.
    if (text.find('.') != std::string::npos) {
        while (!text.empty() && text.back() == '0') text.pop_back();
        if (!text.empty() && text.back() == '.') text.pop_back();
    }
    return text;
}

std::string FileToStr(const std::string& name) {
    std::string result;
    MonitoredIsolated([&] {
        int32_t id = BAD_HANDLE;
        FOpen(id, name, FM_READ);
        std::vector<char> buf(65536);
        const int32_t count = static_cast<int32_t>(buf.size());
        bool afterCR = false;
        int32_t got = 0;
        bool more = true;
        while (more) {
            more = FReadPart(id, buf.data(), count, got);
            result.reserve(result.size() + static_cast<size_t>(got) + static_cast<size_t>(got) / 8);
            for (int32_t i = 0; i < got; ++i) {
                const char c = buf[static_cast<size_t>(i)];
                if (c == '\r') {
                    result += "\r\n";
                    afterCR = true;
                } else if (c == '\n') {
                    if (!afterCR) result += "\r\n";
                    afterCR = false;
                } else {
                    result += c;
                    afterCR = false;
                }
            }
        }
        // A short read before the end of the file is a read failure, not the end.
        const int64_t pos = FPos(id);
        const int64_t size = FSize(id);
        FClose(id);
        if (pos != BAD_HANDLE && size != BAD_HANDLE && pos < size) ErrFail(ERR_FILE, FILE_READ);
    });
    // The last line has no line end.
    if (result.size() >= 2 && result.compare(result.size() - 2, 2, "\r\n") == 0)
        result.resize(result.size() - 2);
    return result;
}

void StrToFile(const std::string& name, const std::string& text, bool append) {
    MonitoredIsolated([&] {
        int32_t mode = FM_CREATE;
        if (append) {
            // Appending to a file that does not exist yet creates it.
            struct stat sb;
            if (::stat(name.c_str(), &sb) == 0 || errno != ENOENT) mode = FM_APPEND;
        }
        int32_t id = BAD_HANDLE;
        TXTOpen(id, name, mode);
        TXTWrite(id, text);
        TXTClose(id);
        // Buffered text reaches the file at the close; a failed close lost it.
        if (WarnLastGroup() == ERR_FILE && WarnLastCode() == FILE_CLOSE)
            ErrFail(ERR_FILE, FILE_WRITE);
    });
}

std::string SecToStr(int32_t flags, double seconds) {
    const double x = seconds > 0.0 ? seconds : 0.0;  // also NaN
    const double h = std::trunc(x / 3600.0);
    double r = x - 3600.0 * h;
    // For enormous values the rest loses precision; keep every field in its range.
    auto field = [](double v, int32_t top) {
        if (!(v > 0.0)) return 0;
        return v > top ? top : static_cast<int32_t>(v);
    };
    const int32_t m = field(std::trunc(r / 60.0), 59);
    r -= 60.0 * m;
    const int32_t s = field(std::trunc(r), 59);
    const int32_t ms = field(std::trunc((r - s) * 1000.0), 999);

    std::string text;
    bool forceMinutes = (flags & SEC_MINUTES) != 0;
    bool forceSeconds = (flags & SEC_SECONDS) != 0;
    if (h > 0.0 || (flags & SEC_HOURS)) {
        text = ZeroPad_(FixedText_(h, 0), 2);
        forceMinutes = forceSeconds = true;
    }
    if (m > 0 || forceMinutes) {
        if (!text.empty()) text += ':';
        text += ZeroPad_(std::to_string(m), 2);
        forceSeconds = true;
    }
    if (s > 0 || forceSeconds) {
        // Seconds take two digits after minutes ("01:05"); leading, they stand alone, so that
        // 5.25 s reads "5.250" like 0.5 s reads "0.500".
        if (!text.empty()) {
            text += ':';
            text += ZeroPad_(std::to_string(s), 2);
        } else {
            text += std::to_string(s);
        }
    }
    if ((ms > 0 || (flags & SEC_MSECS)) && !(flags & SEC_NO_MSECS)) {
        if (text.empty()) text = "0";
        text += '.';
        text += ZeroPad_(std::to_string(ms), 3);
    }
    return text;
}

std::string ForceFileExt(const std::string& name, const std::string& ext) {
    std::string e = ext;
    if (!e.empty() && e[0] != '.') e.insert(0, 1, '.');
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return name.substr(0, dot) + e;
    return name + e;
}

// The shell units' names for the platform's routines (the platform library cannot see these).
std::string TrimText(const std::string& s) { return std::string(TrimControls(s)); }

std::string LowerText(std::string s) { return LowerAscii(s); }

std::string RepChar(char c, int32_t count) {
    return count > 0 ? std::string(static_cast<size_t>(count), c) : std::string();
}

int32_t IfThen(bool flag, int32_t a, int32_t b) { return flag ? a : b; }

std::string IfThen(bool flag, const std::string& a, const std::string& b) { return flag ? a : b; }

// --- Command line ---------------------------------------------------------------------------

namespace {

std::mutex& CmdLineMutex_() {
    static std::mutex mu;
    return mu;
}

std::string& CmdLineText_() {
    static std::string text;
    return text;
}

bool ValidPos_(const std::string& s, int32_t pos) {
    return pos >= 1 && static_cast<size_t>(pos) <= s.size();
}

// The character at a valid 1-based position.
char At_(const std::string& s, int32_t pos) { return s[static_cast<size_t>(pos) - 1]; }

// Characters from `from` up to, not including, `to` (both 1-based).
std::string Span_(const std::string& s, int32_t from, int32_t to) {
    return to > from ? s.substr(static_cast<size_t>(from) - 1, static_cast<size_t>(to - from))
                     : std::string();
}

void SkipSpaces_(const std::string& s, int32_t& pos) {
    while (ValidPos_(s, pos) && At_(s, pos) == ' ') ++pos;
}

// An unquoted argument ends at a blank, "/" or a double quote, so such a value needs quotes.
bool NeedsQuotes_(const std::string& value) {
    return !value.empty() && value[0] != '"' && value.find_first_of(" /") != std::string::npos;
}

std::string Quoted_(const std::string& value) {
    return NeedsQuotes_(value) ? '"' + value + '"' : value;
}

// "/" and one or more letters: the verbs the program knows are all words.
bool IsVerb_(const std::string& verb) {
    if (verb.size() < 2 || verb[0] != '/') return false;
    for (size_t i = 1; i < verb.size(); ++i)
        if (!std::isalpha(static_cast<unsigned char>(verb[i]))) return false;
    return true;
}

}  // namespace

void CmdLine_Set(const std::string& cmdLine) {
    std::lock_guard<std::mutex> lock(CmdLineMutex_());
    CmdLineText_() = cmdLine;
}

std::string CmdLine_FromArgs(int argc, char** argv) {
    std::string line;
    if (argc < 1 || argv == nullptr) return line;
    const std::string program = argv[0] ? argv[0] : "";
    line = program.find(' ') != std::string::npos ? '"' + program + '"' : program;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr || argv[i][0] == '\0') continue;
        const std::string arg = argv[i];
        const size_t eq = arg.find('=');
        const std::string head = arg.substr(0, eq);
        line += ' ';
        // A Linux path also starts with "/": only "/" plus a word is a verb.
        if (IsVerb_(head))
            line += eq == std::string::npos ? arg : head + '=' + Quoted_(arg.substr(eq + 1));
        else
            line += Quoted_(arg);
    }
    return line;
}

void CmdLine_Get(std::string& cmdLine, int32_t& pos) {
    {
        std::lock_guard<std::mutex> lock(CmdLineMutex_());
        cmdLine = CmdLineText_();
    }
    pos = 1;
    while (ValidPos_(cmdLine, pos) && (At_(cmdLine, pos) == ' ' || At_(cmdLine, pos) == '\t'))
        ++pos;
    if (ValidPos_(cmdLine, pos) && At_(cmdLine, pos) == '"') {
        _CmdLine_SkipQuotedString(cmdLine, pos);
    } else {
        while (ValidPos_(cmdLine, pos) && At_(cmdLine, pos) != ' ') ++pos;
    }
}

void _CmdLine_SkipQuotedString(const std::string& s, int32_t& pos) {
    SkipSpaces_(s, pos);
    if (!ValidPos_(s, pos) || At_(s, pos) != '"') return;
    ++pos;
    while (ValidPos_(s, pos) && At_(s, pos) != '"') ++pos;
    if (ValidPos_(s, pos)) ++pos;
}

bool CmdLine_CmdNext(const std::string& cmdLine, std::string& verb, std::string& argument,
                     int32_t& pos) {
    const std::string& s = cmdLine;
    verb.clear();
    argument.clear();
    if (pos < 1) pos = 1;
    SkipSpaces_(s, pos);
    if (ValidPos_(s, pos) && At_(s, pos) == '/') {
        const int32_t start = ++pos;
        while (ValidPos_(s, pos) && At_(s, pos) != '=' && At_(s, pos) != '/') ++pos;
        verb = TrimText(Span_(s, start, pos));
        if (ValidPos_(s, pos) && At_(s, pos) == '=') ++pos;
    }
    SkipSpaces_(s, pos);
    if (ValidPos_(s, pos) && At_(s, pos) == '"') {
        const int32_t start = ++pos;
        while (ValidPos_(s, pos) && At_(s, pos) != '"') ++pos;
        argument = Span_(s, start, pos);
        if (ValidPos_(s, pos)) ++pos;
    } else {
        const int32_t start = pos;
        while (ValidPos_(s, pos) && At_(s, pos) != ' ' && At_(s, pos) != '/' && At_(s, pos) != '"')
            ++pos;
        argument = Span_(s, start, pos);
    }
    return !verb.empty() || !argument.empty();
}

}  // namespace kelvora
