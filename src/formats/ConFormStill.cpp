#include "formats/ConFormStill.h"

#include <algorithm>
#include <climits>

#include "formats/FFBasic.h"
#include "formats/FFReaders.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Dispatch ---------------------------------------------------------------------------------

void ImgLoad(const std::string& fileName, Qimg& image, int32_t type) {
    if (type == BAD_HANDLE) type = FFTypeByExt(fileName, FF_TABLE_LOAD);
    const QffReader* reader = FFReaderOf(type);
    if (!reader || !reader->load) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    reader->load(fileName, image);
}

bool ImgLoadsRows(int32_t type) {
    const QffReader* reader = FFReaderOf(type);
    return reader && reader->loadRows;
}

void ImgLoadRows(const std::string& fileName, int32_t type, int32_t width, int32_t height,
                 const QRowSink& sink) {
    const QffReader* reader = FFReaderOf(type);
    if (!reader || !reader->loadRows) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    reader->loadRows(fileName, width, height, sink);
}

void FFInfo(const std::string& fileName, int32_t type, QffInfo& info) {
    Monitored([&] {
        FFClearInfo(info);
        if (type == BAD_HANDLE) type = FFTypeByExt(fileName, FF_TABLE_LOAD);
        const QffReader* reader = FFReaderOf(type);
        if (!reader || !reader->info)
            ErrFail(ERR_FORMAT, FORMAT_WRITE);  // "no information routine"
        reader->info(fileName, info);
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
    if (bits == 1)
        row = (int64_t{width} + 7) / 8;
    else if (bits == 4)
        row = (int64_t{width} + 1) / 2;
    else
        row = int64_t{width} * reader.bytesPP;
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
        if (reader.dataOffset < 0 || bytes <= 0) ErrFail(ERR_FILE, FILE_READ);
        _memalloc_(reader.cmpsData, bytes, __LINE__, MEM_KIND_C,
                   "ConForm.GetCmpsData_.imgf.CmpsData");
        reader.cmpsBytes = static_cast<int32_t>(bytes);
        FSeek(reader.fileId, reader.dataOffset);
        FRead(reader.fileId, reader.cmpsData, reader.cmpsBytes);
    });
}

int32_t FileSize32_(int32_t fileId) {
    const int64_t size = FSize(fileId);
    return static_cast<int32_t>(size < 0 ? 0 : size > INT32_MAX ? INT32_MAX : size);
}

int32_t ReaderOpen_(QStillReader& reader, const std::string& fileName, uint8_t* header,
                    int32_t bytes) {
    reader = QStillReader{};
    FOpen(reader.fileId, fileName, FM_READ);
    reader.fileSize = FileSize32_(reader.fileId);
    FillBytes(0, bytes, header);
    int32_t got = 0;
    FReadPart(reader.fileId, header, bytes, got);
    return got;
}

void CheckGeometry_(int64_t width, int64_t height, int32_t bits) {
    if (!FFSaneGeometry(width, height, bits)) ErrFail(ERR_IMG, IMG_BAD_HEADER);
}

void CheckRowsInFile_(const QStillReader& reader, int32_t padding) {
    const int64_t end = int64_t{reader.dataOffset} +
                        (int64_t{reader.height} - 1) * (int64_t{reader.rowBytes} + padding) +
                        reader.rowBytes;
    if (reader.dataOffset < 0 || end > reader.fileSize) ErrFail(ERR_FILE, FILE_READ);
}

void CheckCmpsInFile_(const QStillReader& reader) {
    if (reader.dataOffset < 0 || reader.dataOffset >= reader.fileSize) ErrFail(ERR_FILE, FILE_READ);
}

void CheckRunsCanFill_(int64_t dataBytes, int32_t runBytes, int32_t runOutput, int64_t pictureBytes) {
    const int64_t n = std::max<int64_t>(dataBytes, 0);
    if (n / runBytes * runOutput + n % runBytes < pictureBytes) ErrFail(ERR_IMG, IMG_DECOMPRESS);
}

void FillStillInfo_(const QStillReader& reader, QffInfo& info) {
    FFFillPictureInfo(info, static_cast<double>(FSize(reader.fileId)), reader.width, reader.height,
                      reader.bytesPP, reader.bitsPP, reader.supported);
    if (reader.compressed) info.videoCompression = "Run Length Encoding (RLE)";
}

}  // namespace kelvora
