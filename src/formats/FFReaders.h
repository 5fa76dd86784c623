#pragma once
// The reader table: one descriptor per format type, beside the format table of FileFmtDef.
//
// Everything that depends on which reader serves a format goes through its row: still loading
// and the information record (ImgLoad, FFInfo), the kind of an opened file (UniKindOf) and every
// operation of the movie layer (MviOpen ... MviClose, MviBind). A capability a format lacks is an
// empty entry, and the caller answers with its own error: no still load (ERR_IMG, 2), no
// information routine (ERR_FORMAT, 2), no movie reader ((ERR_MVI, 5) for a movie or sound format
// whose reader is not wired in, (ERR_MVI, 1) for a still format).
//
// Adding a reader: its unit in formats/, its include and its row in FFReaders.cpp.
//
// The movie handle is declared here rather than in the movie layer because each row binds the
// handle's views and owns one of its reader slots.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora {

struct QHavHandle;
struct QGifHandle;
struct QFlcHandle;
struct QAviHandle;
struct QMpgHandle;
struct QWavHandle;
struct QOggHandle;
struct QAvfHandle;

// Kinds of open file (the unified layer's).
constexpr int32_t UNI_NONE = 0;
constexpr int32_t UNI_STILL = 1;     // a single still image
constexpr int32_t UNI_SEQUENCE = 2;  // numbered still images
constexpr int32_t UNI_MOVIE = 3;     // a movie or sound file behind a movie handle

// A movie or sound file opened through its reader.
//
// The views are read-only pointers into the open reader's own handle, bound by MviBind right
// after the reader's open: the reader updates its fields on every load and the layers above
// read the new values through the views (*mf.curFrame, *mf.newPalette, ...). A view the
// reader has no field for points at a shared constant zero, so every view of an open handle
// may be read; a cleared handle has null views. The pointer types make a binding to a field of
// another type a compile error.
struct MviHandle {
    uint32_t format;
    const int32_t* width;
    const int32_t* height;
    const int32_t* bytesPP;
    const int32_t* bitsPP;
    const double* frameRate;  // frames per second
    const int32_t* frames;
    const int32_t* curFrame;  // the frame last decoded into the caller's image
    const int32_t* sndPos;    // the sample position after the last sound load
    const int32_t* writeMode;
    const int32_t* newPalette;  // the last load changed the image's palette
    // One slot per reader; only the slot of the handle's format holds a tracked block
    // ("ConForm.MviOpen.mf.HAV", ...).
    QGifHandle* gif;
    QFlcHandle* flc;
    QAviHandle* avi;
    QHavHandle* hav;
    QMpgHandle* mpg;
    QWavHandle* wav;
    QOggHandle* ogg;
    QAvfHandle* avf;
    const QWaveFmt* soundFormat;
};

// What one format's reader offers. The movie entry points work on the reader in the handle's
// slot for the format; `open` allocates that slot first, `close` closes the reader and releases
// the slot (a slot that is no longer live is only forgotten).
struct QffReader {
    int32_t type = 0;
    // Still pictures.
    void (*load)(const std::string& fileName, Qimg& image) = nullptr;
    void (*info)(const std::string& fileName, QffInfo& info) = nullptr;
    // The picture band by band, for a still written straight to a file (see QRowSink).
    void (*loadRows)(const std::string& fileName, int32_t width, int32_t height,
                     const QRowSink& sink) = nullptr;
    // Movies and sound files.
    void (*open)(MviHandle& mf, const std::string& fileName) = nullptr;
    int32_t (*nearestKeyFrame)(MviHandle& mf, int32_t frame, int32_t direction) = nullptr;
    // Seconds from frame 1 to `frame` where the pictures do not step evenly; -1 where they do.
    double (*frameTime)(const MviHandle& mf, int32_t frame) = nullptr;
    void (*imgLoad)(MviHandle& mf, Qimg& image, int32_t frame, int32_t mode) = nullptr;
    void (*sndSeek)(MviHandle& mf, int32_t position) = nullptr;
    void (*sndLoad)(MviHandle& mf, Qsnd& sound, int32_t start, bool cont, int32_t count) = nullptr;
    void (*close)(MviHandle& mf) = nullptr;
    void (*bind)(MviHandle& mf) = nullptr;  // points the views the reader has at its fields
    void (*done)() = nullptr;               // releases the reader's module state at shutdown
    // The kind of a file of this format: with fewer than two frames, with two or more.
    int32_t kindSingle = UNI_NONE;
    int32_t kindMany = UNI_NONE;
};

// The row of a format type, or null for a number that names no format. 64 bits, so that a
// signed type (BAD_HANDLE) and an unsigned handle format (the same mark read as unsigned) both
// fall outside the table without a cast.
const QffReader* FFReaderOf(int64_t type);

}  // namespace kelvora
