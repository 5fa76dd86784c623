#pragma once
// Still-image loading: ImgLoad and FFInfo, which reach each format's routines through the
// reader table (FFReaders), and the still-reader state and steps shared by the BMP, TGA and PCX
// readers (FF_BMP, FF_TGA, FF_PCX).
//
// Every routine runs in a monitored frame: a failing reader frees the partly filled picture
// and closes its file through the frame's release.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// State of the BMP, TGA and PCX readers between their open and load steps.
struct QStillReader {
    int32_t fileId;
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t bitsPP;
    int32_t fileSize;
    int32_t paletteOffset;
    int32_t paletteBytes;
    int32_t dataOffset;
    uint8_t* cmpsData;  // tracked block of the compressed data
    int32_t cmpsBytes;
    int32_t cmapEntryBytes;  // TGA only
    int32_t cmapStart;       // TGA only
    int32_t rowBytes;        // stored bytes of one row
    int32_t imageBytes;      // stored bytes of all rows
    bool compressed;
    bool supported;
    bool bottomUp;
    bool coreHeader;
    bool bitFields;     // BMP only: pixels are converted through the masks into 24 bits
    uint32_t masks[3];  // BMP only: red, green and blue masks of bit-field pixels
};

// Loads a still picture; type BAD_HANDLE takes the type from the file's extension.
void ImgLoad(const std::string& fileName, Qimg& image, int32_t type);
// Fills the file information record; type BAD_HANDLE takes the type from the extension.
void FFInfo(const std::string& fileName, int32_t type, QffInfo& info);
// Whether the reader of `type` can deliver a still band by band (ImgLoadRows).
bool ImgLoadsRows(int32_t type);
// Decodes a still band by band into `sink`, never holding the whole picture; width and height
// are what FFInfo reported. A type whose reader cannot raises (ERR_IMG, 2).
void ImgLoadRows(const std::string& fileName, int32_t type, int32_t width, int32_t height,
                 const QRowSink& sink);

// Steps shared by the BMP, TGA and PCX readers.
void ReaderSetGeometry(QStillReader& reader, int32_t width, int32_t height, int32_t bits);
void Dsk2Mem_(QStillReader& reader, uint8_t* destination, int32_t padding);
void GetCmpsData_(QStillReader& reader);
// The file's size in 32 bits: offsets are kept in 32 bits, a larger file is read as its first
// 2 GiB.
int32_t FileSize32_(int32_t fileId);
// Clears the reader, opens the file and reads up to `bytes` of its start into `header` (zeros
// after what the file holds); returns how many bytes the file gave.
int32_t ReaderOpen_(QStillReader& reader, const std::string& fileName, uint8_t* header,
                    int32_t bytes);
// A header whose picture is empty or beyond the sane limits is refused before anything is
// allocated: (ERR_IMG, 4).
void CheckGeometry_(int64_t width, int64_t height, int32_t bits);
// Truncated pixel data is found before the picture is allocated: the file must hold every stored
// row (the last one without its padding), else (ERR_FILE, 3).
void CheckRowsInFile_(const QStillReader& reader, int32_t padding);
// Compressed data must start inside the file (GetCmpsData_ would find it too, after allocating).
void CheckCmpsInFile_(const QStillReader& reader);
// Run-length data of `dataBytes` whose longest run makes `runOutput` bytes of `runBytes` must be
// able to fill the picture's `pictureBytes`, else (ERR_IMG, 3) before the picture is
// allocated: a small file may not make a reader allocate and walk a picture of hundreds of
// megabytes. Data cut short within that bound still shows what it holds.
void CheckRunsCanFill_(int64_t dataBytes, int32_t runBytes, int32_t runOutput, int64_t pictureBytes);
// The picture part of the information record from the open step.
void FillStillInfo_(const QStillReader& reader, QffInfo& info);

}  // namespace kelvora
