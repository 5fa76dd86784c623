#include "formats/ConFormStill.h"

#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "formats/FF_BAY.h"
#include "formats/FF_PNM.h"
#include "formats/FF_RAS.h"
#include "formats/FF_SGI.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Dispatch ---------------------------------------------------------------------------------

void ImgLoad(const std::string& fileName, Qimg& image, int32_t type) {
    if (type == BAD_HANDLE) type = FFTypeByExt(fileName, FF_TABLE_LOAD);
    switch (type) {
        case FT_TGA: TGALoad_(fileName, image); break;
        case FT_PCX: PCXLoad_(fileName, image); break;
        case FT_BMP: DIBLoad_(fileName, image); break;
        case FT_SGI: SGILoad(fileName, image); break;
        case FT_RAS: RASLoad(fileName, image); break;
        case FT_PNM: PNMLoad(fileName, image); break;
        case FT_BAY: BayLoad(fileName, image); break;
        default: ErrRaiseCode(ERR_IMG, 2, __LINE__); break;
    }
}

void FFInfo(const std::string& fileName, int32_t type, QffInfo& info) {
    Monitored([&] {
        FFClearInfo(info);
        if (type == BAD_HANDLE) type = FFTypeByExt(fileName, FF_TABLE_LOAD);
        switch (type) {
            case FT_TGA: TGAInfo(fileName, info); break;
            case FT_PCX: PCXInfo(fileName, info); break;
            case FT_BMP: DIBInfo(fileName, info); break;
            case FT_SGI: SGIInfo(fileName, info); break;
            case FT_RAS: RASInfo(fileName, info); break;
            case FT_PNM: PNMInfo(fileName, info); break;
            case FT_BAY: BayInfo(fileName, info); break;
            default: ErrRaiseCode(ERR_FORMAT, 2, __LINE__); break;
        }
        info.type = type;
        QffDesc row;
        for (int32_t i = 0; FFGetDesc(row, i, FF_TABLE_LOAD); ++i) {
            if (row.type == type) {
                info.formatName = row.description;
                break;
            }
        }
        if (info.videoCompression.empty()) info.videoCompression = "Uncompressed, full frames";
        if (info.soundCompression.empty()) info.soundCompression = "PCM, uncompressed";
    });
}

// --- Shared reader steps ----------------------------------------------------------------------

void ReaderSetGeometry(QStillReader& reader, int32_t width, int32_t height, int32_t bits) {
    reader.width = width;
    reader.height = height;
    reader.bitsPP = bits;
    reader.bytesPP = (bits + 7) / 8;
    int64_t row;
    if (bits == 1) row = (int64_t{width} + 7) / 8;
    else if (bits == 4) row = (int64_t{width} + 1) / 2;
    else row = int64_t{width} * reader.bytesPP;
    // Headers are checked against sane limits by the readers; clamp so that nothing here wraps.
    const int64_t all = row * height;
    reader.rowBytes = static_cast<int32_t>(row > INT32_MAX ? INT32_MAX : row < 0 ? 0 : row);
    reader.imageBytes = static_cast<int32_t>(all > INT32_MAX ? INT32_MAX : all < 0 ? 0 : all);
}

void Dsk2Mem_(QStillReader& reader, uint8_t* destination, int32_t padding) {
    Monitored([&] {
        const int64_t stride = reader.rowBytes;
        for (int32_t i = 0; i < reader.height; ++i) {
            FSeek(reader.fileId, int64_t{reader.dataOffset} + i * (stride + padding));
            const int64_t row = reader.bottomUp ? reader.height - 1 - i : i;
            FRead(reader.fileId, destination + row * stride, reader.rowBytes);
        }
    });
}

void GetCmpsData_(QStillReader& reader) {
    Monitored([&] {
        const int64_t bytes = int64_t{reader.fileSize} - reader.dataOffset;
        // Pixel data that would start at or past the end of the file is a truncated file.
        if (reader.dataOffset < 0 || bytes <= 0) ErrRaiseCode(ERR_FILE, 3, __LINE__);
        _memalloc_(reader.cmpsData, bytes, __LINE__, MEM_KIND_C, "ConForm.GetCmpsData_.imgf.CmpsData");
        reader.cmpsBytes = static_cast<int32_t>(bytes);
        FSeek(reader.fileId, reader.dataOffset);
        FRead(reader.fileId, reader.cmpsData, reader.cmpsBytes);
    });
}

// --- Readers (placeholders until the readers land) ---------------------------------------------

void DIBOpen_(QStillReader&, const std::string&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void DIBLoad_(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void DIBInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void TGAOpen_(QStillReader&, const std::string&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void TGALoad_(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void TGAInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void PCXOpen_(QStillReader&, const std::string&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void PCXLoad_(const std::string&, Qimg&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }
void PCXunCmps_(QStillReader&, uint8_t*) { ErrRaiseCode(ERR_IMG, 3, __LINE__); }
void PCX24Fix_(QStillReader&, uint8_t*) {}
void PCXInfo(const std::string&, QffInfo&) { ErrRaiseCode(ERR_IMG, 1, __LINE__); }

}  // namespace kelvora
