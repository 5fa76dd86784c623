#include "platform/libimg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <X11/xpm.h>
#include <jpeglib.h>
#include <tiffio.h>

#include "platform/FileIO.h"
#include "platform/PlatformText.h"

namespace kelvora {

namespace {

// --- JPEG -----------------------------------------------------------------------------------------

// libjpeg's default error exit ends the process; ours jumps back into JpegRun_.
struct JpegError_ {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void JpegErrorExit_(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError_*>(cinfo->err)->jump, 1);
}

// Warnings about damaged data are not printed: the decode carries on and fills what is missing.
void JpegQuiet_(j_common_ptr) {}

// Upper bound of libjpeg's own working memory (coefficient buffers of progressive files); past
// it the decode fails instead of asking for more.
constexpr long kJpegMaxMemory = 1536L << 20;

// Chooses the output colour space; returns the bytes per pixel delivered, 0 when unsupported.
// Rows for a file come red first and always 3 bytes a pixel: libjpeg orders and widens the
// channels while it converts them, so no later pass over the rows is needed.
int32_t JpegPickOutput_(jpeg_decompress_struct& c, bool fileRows) {
    switch (c.jpeg_color_space) {
        case JCS_GRAYSCALE:
            c.out_color_space = fileRows ? JCS_EXT_RGB : JCS_GRAYSCALE;
            return fileRows ? 3 : 1;
        case JCS_YCbCr:
        case JCS_RGB: c.out_color_space = fileRows ? JCS_EXT_RGB : JCS_EXT_BGR; return 3;
        case JCS_CMYK:
        case JCS_YCCK: c.out_color_space = JCS_CMYK; return 3;  // converted row by row
        default: return 0;
    }
}

// CMYK to blue, green, red (or red, green, blue). Files with an Adobe marker store the inks
// inverted (255 = no ink).
void CmykRowConvert_(const JSAMPLE* src, uint8_t* dst, JDIMENSION width, bool inverted,
                     bool redFirst) {
    const int first = redFirst ? 2 : 0, last = redFirst ? 0 : 2;
    for (JDIMENSION x = 0; x < width; ++x, src += 4, dst += 3) {
        int c = src[0], m = src[1], y = src[2], k = src[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        dst[first] = static_cast<uint8_t>((y * k + 127) / 255);
        dst[1] = static_cast<uint8_t>((m * k + 127) / 255);
        dst[last] = static_cast<uint8_t>((c * k + 127) / 255);
    }
}

// Rows handed to a JpegRowsProc at a time: a band this large stays in the cache between the
// decoder writing it and the receiver reading it, and costs the receiver one call (one write of
// a file) rather than one per row.
constexpr size_t kJpegBandBytes = 256 << 10;

// One decode: with neither `pixels` nor `proc` only the header is read and width, height and
// bytesPP are reported; otherwise they must match the file, and the pixels go to the whole
// picture at `pixels` or band by band to `proc`.
struct JpegJob_ {
    uint8_t* pixels;
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    JpegRowsProc proc;
    void* context;
};

// A sequential Huffman-coded picture spends at least two bits on every 8 x 8 block of its
// first component (a DC code and an end-of-block code of one bit or more), so a file smaller
// than a quarter byte per block cannot hold it: the library would decode the whole picture from
// made-up data (a few hundred bytes could ask for seconds of work). A file cut short within that
// bound still shows what it holds. Progressive and arithmetic coding can spend less, and are
// left to the library.
bool SequentialHuffmanTooShort_(FILE* f, const jpeg_decompress_struct& cinfo) {
    struct stat st {};
    if (cinfo.progressive_mode || cinfo.arith_code || fstat(fileno(f), &st) != 0) return false;
    const int64_t blocks = ((int64_t{cinfo.image_width} + 7) / 8) *
                           ((int64_t{cinfo.image_height} + 7) / 8);
    return int64_t{st.st_size} < blocks / 4;
}

int JpegRun_(FILE* f, JpegJob_& job) {
    jpeg_decompress_struct cinfo{};
    JpegError_ err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegErrorExit_;
    err.pub.output_message = JpegQuiet_;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return 2;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = kJpegMaxMemory;
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    const bool bands = job.proc != nullptr;
    const int32_t bytesPP = JpegPickOutput_(cinfo, bands);
    int result = bytesPP == 0 ? 3 : 0;
    if (result == 0 && !job.pixels && !bands) {
        job.width = static_cast<int32_t>(cinfo.image_width);
        job.height = static_cast<int32_t>(cinfo.image_height);
        job.bytesPP = bytesPP;
    } else if (result == 0 && SequentialHuffmanTooShort_(f, cinfo)) {
        result = 5;
    } else if (result == 0) {
        jpeg_start_decompress(&cinfo);
        const bool cmyk = cinfo.out_color_space == JCS_CMYK;
        if (static_cast<int64_t>(cinfo.output_width) != job.width ||
            static_cast<int64_t>(cinfo.output_height) != job.height || bytesPP != job.bytesPP ||
            cinfo.output_components != (cmyk ? 4 : bytesPP)) {
            result = 4;  // the file changed since the caller sized its buffer
        } else {
            const size_t stride = static_cast<size_t>(job.width) * static_cast<size_t>(bytesPP);
            const j_common_ptr common = reinterpret_cast<j_common_ptr>(&cinfo);
            // CMYK rows are decoded into a scratch row from libjpeg's pool (freed with cinfo).
            JSAMPARRAY scratch = cmyk ? (*cinfo.mem->alloc_sarray)(common, JPOOL_IMAGE,
                                                                   cinfo.output_width * 4, 1)
                                      : nullptr;
            // Band mode decodes into a band of whole rows from the same pool; `base` is where
            // the scanline at `first` goes.
            JDIMENSION bandRows = 0, first = 0;
            uint8_t* base = job.pixels;
            if (bands) {
                bandRows = static_cast<JDIMENSION>(
                    std::clamp<size_t>(kJpegBandBytes / stride, 1, cinfo.output_height));
                base = static_cast<uint8_t*>(
                    (*cinfo.mem->alloc_large)(common, JPOOL_IMAGE, stride * bandRows));
            }
            while (cinfo.output_scanline < cinfo.output_height) {
                const JDIMENSION line = cinfo.output_scanline;
                uint8_t* row = base + stride * (line - first);
                if (cmyk) {
                    if (jpeg_read_scanlines(&cinfo, scratch, 1) != 1) break;
                    CmykRowConvert_(scratch[0], row, cinfo.output_width, cinfo.saw_Adobe_marker,
                                    bands);
                } else {
                    // Decode straight into the caller's rows or the band, several at a time.
                    JSAMPROW rows[16];
                    const JDIMENSION room = bands ? first + bandRows : cinfo.output_height;
                    const JDIMENSION want = std::min<JDIMENSION>(16, room - line);
                    for (JDIMENSION i = 0; i < want; ++i) rows[i] = row + stride * i;
                    if (jpeg_read_scanlines(&cinfo, rows, want) == 0)
                        break;  // never spin on no progress
                }
                const JDIMENSION done = cinfo.output_scanline;
                if (bands && (done == first + bandRows || done == cinfo.output_height)) {
                    if (job.proc(job.context, base, static_cast<int32_t>(done - first)) != 0) {
                        result = 6;
                        break;
                    }
                    first = done;
                }
            }
            if (result == 0 && cinfo.output_scanline < cinfo.output_height)
                result = 5;
            else if (result == 0)
                jpeg_finish_decompress(&cinfo);
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return result;
}

int JpegFile_(const char* name, JpegJob_& job) {
    FILE* f = FileOpenRegularRead(name);
    if (!f) return 1;
    const int result = JpegRun_(f, job);
    std::fclose(f);
    return result;
}

// --- XPM ------------------------------------------------------------------------------------------

// Files above this size are not taken for pictures (an XPM needs at least one character per pixel).
constexpr long kXpmMaxFile = 256L << 20;

// Reads a regular file whole, with a terminating NUL for libXpm's buffer parser.
bool ReadWhole_(const char* name, std::vector<char>& text) {
    FILE* f = FileOpenRegularRead(name);
    if (!f) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = size >= 0 && size <= kXpmMaxFile && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        text.resize(static_cast<size_t>(size) + 1);
        ok = std::fread(text.data(), 1, static_cast<size_t>(size), f) == static_cast<size_t>(size);
        text[static_cast<size_t>(size)] = '\0';
    }
    std::fclose(f);
    return ok;
}

// Walks the strings of an XPM text the way libXpm reads them: the quoted strings of an XPM 3
// file (comments skipped) or the lines after the "! XPM2" header. Texts without either header
// (the old #define form among them) yield nothing, so libXpm never sizes tables from numbers
// that were not checked here.
struct XpmStrings_ {
    const char* p;
    bool xpm2;

    explicit XpmStrings_(const char* text) : p(text), xpm2(false) {
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        xpm2 = std::strncmp(p, "! XPM2", 6) == 0;
        if (xpm2)
            p = std::strchr(p, '\n');
        else if (std::strncmp(p, "/* XPM */", 9) != 0)
            p = nullptr;
    }

    bool Next(std::string_view& s) {
        if (!p || !*p) return false;
        const char* start;
        if (xpm2) {
            start = ++p;  // past the previous line end
        } else {
            for (;;) {
                if (p[0] == '\0') return false;
                if (p[0] == '/' && p[1] == '*') {
                    p = std::strstr(p + 2, "*/");
                    if (!p) return false;
                    p += 2;
                } else if (*p++ == '"') {
                    break;
                }
            }
            start = p;
        }
        const char* end = std::strchr(start, xpm2 ? '\n' : '"');
        if (!end) end = start + std::strlen(start);
        s = std::string_view(start, static_cast<size_t>(end - start));
        p = xpm2 ? end : (*end ? end + 1 : end);
        return true;
    }
};

std::vector<std::string_view> XpmWords_(std::string_view s) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        const size_t start = i;
        while (i < s.size() && !std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

// Reads an unsigned decimal word; false when it is not one or is too large.
bool XpmNumber_(std::string_view word, uint64_t& value) {
    if (word.empty()) return false;
    value = 0;
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) return false;
    }
    return true;
}

// A colour line that names one key twice ("c red c blue") makes libXpm lose the first value's
// memory; such lines are refused before libXpm sees them.
bool XpmColourLineOk_(std::string_view line, uint64_t cpp) {
    if (line.size() < cpp) return false;
    static const char* const keys[] = {"s", "m", "g4", "g", "c"};
    bool seen[5] = {};
    bool lastWasKey = false;
    for (std::string_view w : XpmWords_(line.substr(cpp))) {
        int key = -1;
        for (int k = 0; k < 5 && !lastWasKey; ++k)
            if (w == keys[k]) key = k;
        if (key >= 0) {
            if (seen[key]) return false;
            seen[key] = true;
        }
        lastWasKey = key >= 0;
    }
    return true;
}

// Checks the values string ("width height colours chars-per-pixel") and the colour lines before
// libXpm sizes its tables from them: every pixel needs cpp characters of the file, and so does
// every colour.
bool XpmPlausible_(const std::vector<char>& text, uint32_t& width, uint32_t& height) {
    XpmStrings_ strings(text.data());
    std::string_view values;
    if (!strings.Next(values)) return false;
    const std::vector<std::string_view> words = XpmWords_(values);
    uint64_t w, h, colours, cpp;
    if (words.size() < 4 || !XpmNumber_(words[0], w) || !XpmNumber_(words[1], h) ||
        !XpmNumber_(words[2], colours) || !XpmNumber_(words[3], cpp))
        return false;
    const uint64_t fileSize = text.size() - 1;
    if (w == 0 || h == 0 || colours == 0 || cpp == 0) return false;
    if (w * h > fileSize / cpp || colours > fileSize / cpp) return false;
    for (uint64_t i = 0; i < colours; ++i) {
        std::string_view line;
        if (!strings.Next(line) || !XpmColourLineOk_(line, cpp)) return false;
    }
    width = static_cast<uint32_t>(w);
    height = static_cast<uint32_t>(h);
    return true;
}

struct Rgb_ {
    uint8_t r, g, b;
};

// Colour names compare in lower case without blanks ("Light Gray" = "lightgray").
std::string ColourKey_(const char* name) {
    std::string key;
    for (; *name; ++name)
        if (!std::isspace(static_cast<unsigned char>(*name))) key += LowerAsciiChar(*name);
    return key;
}

// The X colour names: the system's rgb.txt when present, over a few basic names that are always
// known.
const std::unordered_map<std::string, Rgb_>& ColourNames_() {
    static const std::unordered_map<std::string, Rgb_> names = [] {
        std::unordered_map<std::string, Rgb_> m = {
            {"black", {0, 0, 0}},      {"white", {255, 255, 255}}, {"red", {255, 0, 0}},
            {"green", {0, 255, 0}},    {"blue", {0, 0, 255}},      {"yellow", {255, 255, 0}},
            {"cyan", {0, 255, 255}},   {"magenta", {255, 0, 255}}, {"gray", {190, 190, 190}},
            {"grey", {190, 190, 190}},
        };
        std::ifstream in("/usr/share/X11/rgb.txt");
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '!') continue;
            std::istringstream fields(line);
            int r, g, b;
            std::string name;
            if (!(fields >> r >> g >> b)) continue;
            std::getline(fields, name);
            if (r < 0 || r > 255 || g < 0 || g > 255 || b < 0 || b > 255) continue;
            const std::string key = ColourKey_(name.c_str());
            if (!key.empty())
                m[key] = Rgb_{static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                              static_cast<uint8_t>(b)};
        }
        return m;
    }();
    return names;
}

int HexDigit_(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAsciiChar(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// An XPM colour: "#RGB" .. "#RRRRGGGGBBBB", an X colour name, "grayN"/"greyN" (N = 0..100).
// "None" (transparent) and anything not understood give black.
Rgb_ XpmColour_(const char* spec) {
    if (!spec) return {0, 0, 0};
    if (spec[0] == '#') {
        const size_t n = std::strlen(spec + 1);
        if (n == 0 || n > 12 || n % 3 != 0) return {0, 0, 0};
        const size_t k = n / 3;
        uint8_t ch[3];
        for (size_t c = 0; c < 3; ++c) {
            uint32_t v = 0;
            for (size_t i = 0; i < k; ++i) {
                const int d = HexDigit_(spec[1 + c * k + i]);
                if (d < 0) return {0, 0, 0};
                v = v * 16 + static_cast<uint32_t>(d);
            }
            // Keep the top 8 bits; a single digit is repeated (f = ff).
            ch[c] = static_cast<uint8_t>(k == 1 ? v * 17 : v >> (4 * (k - 2)));
        }
        return {ch[0], ch[1], ch[2]};
    }
    const std::string key = ColourKey_(spec);
    const auto& names = ColourNames_();
    const auto it = names.find(key);
    if (it != names.end()) return it->second;
    if ((key.rfind("gray", 0) == 0 || key.rfind("grey", 0) == 0) && key.size() > 4 &&
        key.size() <= 7) {
        int n = 0;
        for (size_t i = 4; i < key.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(key[i]))) return {0, 0, 0};
            n = n * 10 + (key[i] - '0');
        }
        if (n <= 100) {
            const auto v = static_cast<uint8_t>((n * 255 + 50) / 100);
            return {v, v, v};
        }
    }
    return {0, 0, 0};
}

// The colour an entry shows on a colour screen, falling back to its grey and mono defaults.
const char* XpmEntryColour_(const XpmColor& c) {
    if (c.c_color) return c.c_color;
    if (c.g_color) return c.g_color;
    if (c.g4_color) return c.g4_color;
    return c.m_color;
}

void FillXpm_(const XpmImage& img, uint8_t* pixels) {
    std::vector<Rgb_> table(img.ncolors);
    for (unsigned i = 0; i < img.ncolors; ++i)
        table[i] = XpmColour_(XpmEntryColour_(img.colorTable[i]));
    const size_t count = static_cast<size_t>(img.width) * img.height;
    for (size_t i = 0; i < count; ++i, pixels += 3) {
        const unsigned index = img.data[i];
        const Rgb_ c = index < img.ncolors ? table[index] : Rgb_{0, 0, 0};
        pixels[0] = c.b;
        pixels[1] = c.g;
        pixels[2] = c.r;
    }
}

// --- TIFF -----------------------------------------------------------------------------------------

thread_local ExternMsgProc tiffError = nullptr;
thread_local ExternMsgProc tiffWarning = nullptr;

void TiffPass_(ExternMsgProc proc, const char* module, const char* fmt, va_list ap) {
    if (!proc) return;  // nobody on this thread listens: stay quiet rather than print
    char text[1024];
    size_t n = 0;
    if (module && *module) {
        const int m = std::snprintf(text, sizeof text, "%s: ", module);
        n = m < 0 ? 0 : std::min(static_cast<size_t>(m), sizeof text - 1);
    }
    std::vsnprintf(text + n, sizeof text - n, fmt, ap);
    proc(text);
}

void TiffError_(const char* module, const char* fmt, va_list ap) {
    TiffPass_(tiffError, module, fmt, ap);
}
void TiffWarning_(const char* module, const char* fmt, va_list ap) {
    TiffPass_(tiffWarning, module, fmt, ap);
}

// libtiff's handlers are process-wide: one pair, installed once, passes each message on to the
// procedure of the thread that is running libtiff.
void TiffInstall_() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(TiffError_);
        TIFFSetWarningHandler(TiffWarning_);
    });
}

}  // namespace

int info_JPEG_file(const char* name, int32_t& width, int32_t& height, int32_t& bytesPP) {
    JpegJob_ job{nullptr, 0, 0, 0, nullptr, nullptr};
    const int result = JpegFile_(name, job);
    if (result == 0) {
        width = job.width;
        height = job.height;
        bytesPP = job.bytesPP;
    }
    return result;
}

int read_JPEG_file(const char* name, uint8_t* pixels, int32_t& width, int32_t& height,
                   int32_t& bytesPP) {
    if (!pixels || width <= 0 || height <= 0) return 1;
    JpegJob_ job{pixels, width, height, bytesPP, nullptr, nullptr};
    return JpegFile_(name, job);
}

int read_JPEG_rows(const char* name, int32_t width, int32_t height, JpegRowsProc proc, void* context) {
    if (!proc || width <= 0 || height <= 0) return 1;
    JpegJob_ job{nullptr, width, height, 3, proc, context};
    return JpegFile_(name, job);
}

int ReadXpm(const char* name, QXpmDesc& desc) {
    std::vector<char> text;
    uint32_t width = 0, height = 0;
    if (!ReadWhole_(name, text) || !XpmPlausible_(text, width, height)) return 1;
    if (desc.pixels) {
        const uint64_t need = uint64_t{width} * height * 3;
        if (static_cast<int64_t>(width) != desc.width || static_cast<int64_t>(height) != desc.height ||
            desc.bufferSize < 0 || need > static_cast<uint64_t>(desc.bufferSize))
            return 4;
    }
    XpmImage img;
    std::memset(&img, 0, sizeof img);
    if (XpmCreateXpmImageFromBuffer(text.data(), &img, nullptr) < 0) return 2;
    int result = 0;
    if (img.width != width || img.height != height || !img.data || !img.colorTable)
        result = 3;
    else if (desc.pixels)
        FillXpm_(img, desc.pixels);
    else {
        desc.width = static_cast<int32_t>(width);
        desc.height = static_cast<int32_t>(height);
    }
    XpmFreeXpmImage(&img);
    return result;
}

void ExternErrorSet(ExternMsgProc proc) {
    TiffInstall_();
    tiffError = proc;
}

void ExternWarningSet(ExternMsgProc proc) {
    TiffInstall_();
    tiffWarning = proc;
}

void png_build_grayscale_palette(int bitDepth, png_colorp palette) {
    if (!palette || (bitDepth != 1 && bitDepth != 2 && bitDepth != 4 && bitDepth != 8)) return;
    const int count = 1 << bitDepth;
    const int step = 255 / (count - 1);
    for (int i = 0; i < count; ++i) {
        const auto v = static_cast<png_byte>(i * step);
        palette[i].red = v;
        palette[i].green = v;
        palette[i].blue = v;
    }
}

}  // namespace kelvora
