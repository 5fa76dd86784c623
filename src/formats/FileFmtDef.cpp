#include "formats/FileFmtDef.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "runtime/Basic.h"

namespace kelvora {

namespace {

// The load table: its order is the search order and the order of "All supported formats".
const QffDesc kLoadTable[] = {
    {FT_HAV, 26, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
    {FT_GIF, 11, ".gif", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"},
    {FT_BMP, 9, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {FT_FLIC, 10, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {FT_RAS, 9, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {FT_SGI, 9, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {FT_PNM, 9, ".pnm.ppm.pgm", "PNM", "Portable Image", "PNM, Portable Image"},
    {FT_PCX, 9, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {FT_PNG, 9, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {FT_AVI, 26, ".avi", "AVI", "Windows Audio Video Interleaved",
     "AVI, Windows Audio Video Interleaved"},
    {FT_WAV, 20, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {FT_JPEG, 9, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {FT_TIFF, 9, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {FT_MPEG, 26, ".mpg.mpeg.m1v.m2v.mpe.dat", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {FT_TGA, 9, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {FT_BAY, 9, ".bay", "BAY", "Bayer Image", "BAY, Bayer Image"},
    {FT_XPM, 9, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {FT_MPA, 20, ".mp3.mp2.m2a.mpa", "MPA", "MPEG Audio Layer I/II/III",
     "MP3/MPA, MPEG Audio Layer I/II/III"},
    {FT_OGG, 20, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
    {FT_MP4, 26, ".mp4.m4v.mov.qt.3gp.3g2", "MP4", "MPEG-4 / QuickTime Movie",
     "MP4, MPEG-4 / QuickTime Movie"},
    {FT_MKV, 26, ".mkv.webm", "MKV", "Matroska / WebM Movie", "MKV, Matroska / WebM Movie"},
    {FT_M4A, 20, ".m4a.m4b", "M4A", "MPEG-4 Audio", "M4A, MPEG-4 Audio"},
    {FT_MKA, 20, ".mka", "MKA", "Matroska Audio", "MKA, Matroska Audio"},
    {FT_FLAC, 20, ".flac", "FLAC", "Free Lossless Audio Codec", "FLAC, Free Lossless Audio Codec"},
    {FT_OPUS, 20, ".opus", "OPUS", "Ogg Opus Audio", "OPUS, Ogg Opus Audio"},
    {FT_AAC, 20, ".aac.adts", "AAC", "Advanced Audio Coding", "AAC, Advanced Audio Coding"},
    {FT_MPTS, 26, ".ts.m2ts.mts", "TS", "MPEG Transport Stream", "TS/M2TS, MPEG Transport Stream"},
    {FT_FLV, 26, ".flv", "FLV", "Flash Video", "FLV, Flash Video"},
    {FT_ASF, 26, ".asf.wmv", "ASF", "Windows Media Video", "ASF/WMV, Windows Media Video"},
    {FT_WMA, 20, ".wma", "WMA", "Windows Media Audio", "WMA, Windows Media Audio"},
};

// The output table: the load row of the same type with other extensions, except where a row
// names itself.
struct OutputRow {
    int32_t type;
    const char* extensions;
    const char* shortName;  // null: the load row's texts
    const char* longName;
    const char* description;
};
const OutputRow kOutputRows[] = {
    {FT_AVI, ".avi", nullptr, nullptr, nullptr},
    {FT_BMP, ".bmp.dib", nullptr, nullptr, nullptr},
    {FT_FLIC, ".flc", nullptr, nullptr, nullptr},
    {FT_HAV, ".hav", nullptr, nullptr, nullptr},
    {FT_JPEG, ".jpg.jpeg", nullptr, nullptr, nullptr},
    {FT_PCX, ".pcx", nullptr, nullptr, nullptr},
    {FT_PNG, ".png", nullptr, nullptr, nullptr},
    {FT_TGA, ".tga", nullptr, nullptr, nullptr},
    {FT_MPEG, ".mpg.mpeg.m1v.m2v.dat", nullptr, nullptr, nullptr},
    {FT_WAV, ".wav", nullptr, nullptr, nullptr},
    {FT_SGI, ".rgb.sgi", nullptr, nullptr, nullptr},
    {FT_RAS, ".ras.sun.im1", nullptr, nullptr, nullptr},
    {FT_PNM, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"},
    {FT_TIFF, ".tif.tiff", nullptr, nullptr, nullptr},
    {FT_XPM, ".xpm", nullptr, nullptr, nullptr},
    {FT_MPA, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"},
    {FT_OGG, ".ogg", nullptr, nullptr, nullptr},
};

const std::vector<QffDesc>& OutputTable_() {
    static const std::vector<QffDesc> table = [] {
        std::vector<QffDesc> rows;
        for (const OutputRow& o : kOutputRows) {
            for (const QffDesc& l : kLoadTable) {
                if (l.type != o.type) continue;
                QffDesc d = l;
                d.extensions = o.extensions;
                if (o.shortName) {
                    d.shortName = o.shortName;
                    d.longName = o.longName;
                    d.description = o.description;
                }
                rows.push_back(d);
                break;
            }
        }
        return rows;
    }();
    return table;
}

const QffDesc* TableBegin_(int32_t table, size_t& count) {
    if (table == FF_TABLE_OUTPUT) {
        count = OutputTable_().size();
        return OutputTable_().data();
    }
    count = std::size(kLoadTable);
    return kLoadTable;
}

// The file's extension from its last point, lower-cased, with "." appended; "" when none.
std::string ExtKey_(const std::string& fileName) {
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    std::string ext = fileName.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ext += '.';
    return ext == ".." ? std::string() : ext;
}

}  // namespace

void FFClearInfo(QffInfo& info) { info = QffInfo{}; }

void FFFillPictureInfo(QffInfo& info, double fileSize, int32_t width, int32_t height,
                       int32_t bytesPP, int32_t bitsPP, bool supported) {
    info.fileSize = fileSize;
    info.width = width;
    info.height = height;
    info.bytesPP = bytesPP;
    info.bitsPP = bitsPP;
    info.frames = 1;
    info.hasVideo = FFBool(width > 0);
    info.videoSupported = FFBool(supported);
}

std::string FFShortStr(const std::string& text) {
    return text.size() > 255 ? text.substr(0, 255) : text;
}

void FFFindByExt(const std::string& fileName, QffDesc& row, int32_t table) {
    row = QffDesc{BAD_HANDLE, 0, "", "", "", ""};
    const std::string key = ExtKey_(fileName);
    if (key.empty()) return;
    size_t count = 0;
    const QffDesc* rows = TableBegin_(table, count);
    for (size_t i = 0; i < count; ++i) {
        if ((rows[i].extensions + ".").find(key) != std::string::npos) {
            row = rows[i];
            return;
        }
    }
}

int32_t FFTypeByExt(const std::string& fileName, int32_t table) {
    QffDesc row;
    FFFindByExt(fileName, row, table);
    return row.type;
}

bool FFGetDesc(QffDesc& row, int32_t index, int32_t table) {
    size_t count = 0;
    const QffDesc* rows = TableBegin_(table, count);
    if (index < 0 || static_cast<size_t>(index) >= count) return false;
    row = rows[index];
    return true;
}

void FFConvExt_(const std::string& extensions, std::string& pattern, std::string& list) {
    std::string work = extensions;
    pattern.clear();
    size_t dot;
    while ((dot = work.find('.')) != std::string::npos) {
        work[dot] = ',';
        const size_t next = work.find('.', dot + 1);
        const std::string ext = work.substr(
            dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1);
        pattern += "*." + ext + ";";
    }
    if (!pattern.empty()) pattern.pop_back();
    list = work.empty() ? std::string() : work.substr(1);
}

void FFMakeLoadFilter(int32_t flagMask, int32_t options, std::string& filter) {
    std::string all = "All supported formats|";
    std::vector<std::string> items;  // kept sorted; equal items keep table order
    int taken = 0;
    for (const QffDesc& row : kLoadTable) {
        if (flagMask != 0 && (row.flags & flagMask) == 0) continue;
        std::string pattern, list;
        FFConvExt_(row.extensions, pattern, list);
        std::string label = (options & FF_FILTER_DESCRIPTION) ? row.description : row.shortName;
        if (options & FF_FILTER_LIST) label += " (" + list + ")";
        const std::string item = label + "|" + pattern;
        all += pattern + ";";
        auto at = items.begin();
        while (at != items.end() && !(item < *at)) ++at;
        items.insert(at, item);
        ++taken;
    }
    filter.clear();
    if (!(options & FF_FILTER_NO_CATCHALL) && taken >= 2) {
        all.pop_back();
        filter = all + "|";
    }
    for (const std::string& item : items) filter += item + "|";
    if (!(options & FF_FILTER_NO_CATCHALL)) filter += "Any file (*.*)|*.*";
}

}  // namespace kelvora
