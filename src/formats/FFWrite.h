#pragma once
// Picture writers: binary PPM, BMP and PNG files from an image record of any depth; and the
// PCM WAV writer for sound.
//
// Each writer is a monitored routine. An image without pixels or of an unknown depth, and a
// failure inside the PNG library, raise (ERR_IMG, 11) "Cannot create image file."; open and
// write failures raise the file errors of Basic. A writer that fails removes the partly written
// file.

#include <string>

#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora {

// Binary P6, 8 bits per channel; other depths are converted to 24 bits first.
void ImgSavePPM(const std::string& fileName, Qimg& image);
// BMP with a 40-byte information header, rows bottom-up padded to 4 bytes: 8-bit pictures with
// their 256-entry palette, 15 as 16-bit 5-5-5, 16 as 16-bit 5-6-5 bit fields, 24 and 32 as is.
void ImgSaveBMP(const std::string& fileName, Qimg& image);
// PNG: 8-bit pictures as a 256-entry palette image, other depths as 8-bit RGB.
void ImgSavePNG(const std::string& fileName, Qimg& image);

// A binary PPM (P6) written band by band, for a picture that is never held whole (QRowSink): rows
// of width * 3 bytes red, green, blue. Open and write failures raise the file errors of Basic; a
// size the header cannot hold, rows beyond the height and a close before the last row raise
// (ERR_IMG, 11). The caller removes a file whose writing failed.
struct QPpmWriter {
    int32_t fileId;
    int32_t width;
    int32_t height;
    int32_t rows;  // written so far
};

void PPMWriterCreate(QPpmWriter& w, const std::string& fileName, int32_t width, int32_t height);
void PPMWriterAdd(QPpmWriter& w, const uint8_t* rows, int32_t count);
void PPMWriterClose(QPpmWriter& w);

// A PCM WAV file being written: "RIFF"/"WAVE" with a 16-byte "fmt " chunk and one "data" chunk,
// whose sizes are written at close. A format that is not PCM of 8, 16, 24 or 32 bits raises
// (ERR_WAV, 2) "Cannot create WAV file."; sound past the 4 GiB the sizes can hold raises
// (ERR_WAV, 4) "Cannot write to WAV file.". The caller removes a file whose writing failed.
struct QWavWriter {
    int32_t fileId;
    QWaveFmt format;    // completed by WaveFmtFix
    int64_t dataBytes;  // written so far
};

void WAVWriterCreate(QWavWriter& w, const std::string& fileName, const QWaveFmt& format);
// Appends `frames` sample frames of the writer's format.
void WAVWriterAdd(QWavWriter& w, const uint8_t* samples, int32_t frames);
// Writes the chunk sizes and closes the file.
void WAVWriterClose(QWavWriter& w);

}  // namespace kelvora
