#pragma once
// Still-image loading: ImgLoad and FFInfo dispatch by format type, the still-reader state
// shared by the BMP, TGA and PCX readers, and those three readers.
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
    uint8_t* cmpsData;      // tracked block of the compressed data
    int32_t cmpsBytes;
    int32_t cmapEntryBytes; // TGA only
    int32_t cmapStart;      // TGA only
    int32_t rowBytes;       // stored bytes of one row
    int32_t imageBytes;     // stored bytes of all rows
    bool compressed;
    bool supported;
    bool bottomUp;
    bool coreHeader;
    bool bitFields;         // BMP only: pixels are converted through the masks into 24 bits
    uint32_t masks[3];      // BMP only: red, green and blue masks of bit-field pixels
};

// Loads a still picture; type BAD_HANDLE takes the type from the file's extension.
void ImgLoad(const std::string& fileName, Qimg& image, int32_t type);
// Fills the file information record; type BAD_HANDLE takes the type from the extension.
void FFInfo(const std::string& fileName, int32_t type, QffInfo& info);

// Shared reader steps.
void ReaderSetGeometry(QStillReader& reader, int32_t width, int32_t height, int32_t bits);
void Dsk2Mem_(QStillReader& reader, uint8_t* destination, int32_t padding);
void GetCmpsData_(QStillReader& reader);

// BMP/DIB.
void DIBOpen_(QStillReader& reader, const std::string& fileName);
void DIBLoad_(const std::string& fileName, Qimg& image);
void DIBInfo(const std::string& fileName, QffInfo& info);

// TGA.
void TGAOpen_(QStillReader& reader, const std::string& fileName);
void TGALoad_(const std::string& fileName, Qimg& image);
void TGAInfo(const std::string& fileName, QffInfo& info);

// PCX.
void PCXOpen_(QStillReader& reader, const std::string& fileName);
void PCXLoad_(const std::string& fileName, Qimg& image);
void PCXunCmps_(QStillReader& reader, uint8_t* pixels);
void PCX24Fix_(QStillReader& reader, uint8_t* pixels);
void PCXInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
