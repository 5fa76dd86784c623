#pragma once
// The MPEG video library's entry points, over the media layer (platform/AvMedia).
//
// The MPEG reader describes MPEG-1 and MPEG-2 video (elementary streams and system streams)
// and decodes MPEG-1 video through five C-style calls. The caller's picture record is the
// stream's state: OpenMPEG fills it and names the open stream in it, GetMPEGFrame points its
// first field at the picture just decoded.
//
// Pictures are 24-bit blue, green, red rows (the image record's layout), top-down, `rowWidth`
// pixels apart: the width rounded up to whole 16-pixel macroblocks, as the decoder works.
// Frames come out in display order; their count is the demuxed picture packets, counted
// without decoding.
//
// Reaching a frame. The reader rewinds (CloseMPEG, OpenMPEG) and calls GetMPEGFrame once per
// frame up to the one it wants; only the last picture is looked at. The frames before it are
// marked skipped: a skipped frame only moves the stream on, and the next frame decoded goes
// straight to the group of pictures it needs (decoding from the key frame before it, with the
// group before that for pictures that lean back across it), never colour-converting a frame
// on the way. The picture delivered is the one a straight decode from the start gives.
//
// Opening reads the whole file's packets once. The library keeps the file it released last
// (by CloseMPEG or after GetMPEGInfo) ready for the next open of the same unchanged file, so
// that a rewind, or the open that follows a description, costs nothing; another file, or the
// end of the process, lets it go.
//
// Errors. The library calls the error procedure set by MOSLErrorFuncSet with a message when a
// stream it opened cannot give a frame (the procedure may leave by an exception: the library
// holds nothing it would leak). Calls on distinct streams may run on distinct threads.

#include <cstdint>

namespace kelvora {

// The picture record a stream works in.
struct QMpegPicture {
    uint8_t* frame;  // the picture last decoded: top-down rows of rowWidth × 3 bytes
    int32_t width;   // set by the caller before OpenMPEG, as GetMPEGInfo gave them
    int32_t height;
    int32_t bytesPP;   // 3
    int32_t bitsPP;    // 24
    int32_t rowWidth;  // set by OpenMPEG
    int32_t stream;    // the open stream (0: none)
};

using MpegErrorFunc = void (*)(const char* message);

// Sets the error procedure (null: errors only show in the results). For the whole process.
void MOSLErrorFuncSet(MpegErrorFunc func);

// Describes the MPEG video in `name`: size, frame count, picture-rate code (1 to 8 as in the
// sequence header, 0 when the rate is none of them), bit rate (bits per second: the stream's
// own, else the file's), `mpeg2` 1 for MPEG-2 video, `audio` 1 when the file also holds MPEG
// audio. Non-zero when the file holds MPEG video; 0 (the outputs 0) for anything else. Null
// outputs are skipped.
int32_t GetMPEGInfo(const char* name, int32_t* width, int32_t* height, int32_t* frames,
                    int32_t* rateCode, int32_t* bitRate, int32_t* mpeg2, int32_t* audio);

// Opens `name` into `picture` (its width and height must be the file's); `flags` are kept for
// the caller and not used. Non-zero on success. MPEG-2 video is refused: the library describes
// it but does not decode it.
int32_t OpenMPEG(QMpegPicture* picture, const char* name, int32_t flags);

// The next frame in display order: decoded into the picture's buffer (`frame` points at it),
// or with `skip` only passed over (`frame` is left as it was). Non-zero while there was a
// frame; 0 at the end of the stream, or when the frame cannot be decoded (after calling the
// error procedure).
int32_t GetMPEGFrame(QMpegPicture* picture, int32_t skip);

// Closes the stream of `picture`; its `frame` and `stream` become null.
void CloseMPEG(QMpegPicture* picture);

}  // namespace kelvora
