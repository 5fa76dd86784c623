#pragma once
// Frame-exact pictures and sample-exact sound from any file libavformat reads: the one layer
// under the AVI library, the MPEG video library and the readers of today's containers.
//
// Opening keeps a table of the video and the sound stream's packets: the frame count, the key
// frames and the sound's length come from it, and so does every later reposition. MP4 and
// QuickTime files give the table from their sample tables (the sound's on first use); other
// files are read through once (no decoding). A file too long to read through in the time an open
// may take, whose container seeks by time (Matroska, WebM) and whose streams keep a steady frame
// rate and sound frame size, goes by its timeline instead: frame n is the picture shown at n
// frame durations from the first, sound positions follow the packets' times, and the frame
// count and the sound's length are estimates from the streams' last packets until decoding
// reaches the end. Pictures are numbered from 0 in presentation order, those an MP4's edit list
// cuts left out (decoded for the pictures after them, never shown); sound positions are sample
// frames from 0, placed where ffmpeg's own straight decode of the file puts them (decoder delay
// included, priming and cuts that the container asks to drop dropped).
//
// Pictures and sound each have a demuxer and a decoder of their own, so that a player that
// alternates between them never makes one undo the other's position. A request for the next
// frame (or one a little ahead, or at most as far as the next key frame) decodes forward; any
// other goes back to the key frame at or before it. Frames decoded only on the way are never
// colour-converted. Every decode-forward is bounded by the packet table, damaged packets are
// dropped by the decoder, and every failure is a result, never a crash.
//
// On a machine with a second processor a helper thread decodes the picture after the one
// delivered while that one is converted, so that pictures asked in order cost about the longer
// of decoding and converting rather than their sum.
//
// A media is used by one thread at a time; distinct media are independent.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {

struct QAvMedia;

struct QAvVideoFacts {
    bool present = false;
    int32_t width = 0;  // of the delivered picture: after the rotation below
    int32_t height = 0;
    int64_t frames = 0;              // packets of the stream: pictures in presentation order
    double rate = 0.0;               // frames per second; 0 when the container does not say
    int32_t codecId = 0;             // libavcodec's AVCodecID
    std::string codecName;           // the codec's long name
    uint32_t fourcc = 0;             // the container's code for the codec (AVI, MP4); 0 when none
    int64_t bitRate = 0;             // the stream's bits per second; 0 when unknown
    std::vector<int64_t> keyFrames;  // frame numbers of the key frames, ascending
    std::string profile;             // the codec's profile ("High", "Main 10"); empty when none
    int32_t bitDepth = 0;            // bits of each colour component as coded; 0 when unknown
    int32_t rotation = 0;     // clockwise turn applied to every picture: 0, 90, 180 or 270 degrees
    bool framesExact = true;  // false while `frames` is an estimate (see above)
    // Seconds from the first picture to each, where the pictures do not step evenly (a variable
    // frame rate); empty where every picture is within a quarter frame of n / rate.
    std::vector<double> frameTimes;
};

struct QAvAudioFacts {
    bool present = false;
    int32_t rate = 0;            // sample frames per second
    int32_t channels = 0;        // delivered, 1 to 8: a larger layout is folded down to 8
    int32_t sourceChannels = 0;  // as coded
    int64_t samples = 0;         // sample frames of the whole stream
    int32_t codecId = 0;
    std::string codecName;
    uint32_t formatTag = 0;    // the container's code for the codec; 0 when none
    int64_t bitRate = 0;       // bits per second; 0 when unknown
    std::string profile;       // the codec's profile ("LC", "HE-AAC"); empty when none
    int32_t bitDepth = 0;      // bits per sample as coded (16 for 16-bit FLAC); 0 for lossy codecs
    bool samplesExact = true;  // false while `samples` is an estimate
};

// What the file is: the container's short name ("avi", "mpeg", "mov,mp4,m4a,3gp,3g2,mj2", ...)
// and the streams chosen (the best video and the best sound stream a decoder exists for).
struct QAvFacts {
    std::string container;
    std::string containerName;  // the container's long name ("QuickTime / MOV")
    int64_t bitRate = 0;  // the whole file's bits per second, as the container gives or estimates it
    QAvVideoFacts video;
    QAvAudioFacts audio;
};

// Byte order of the delivered pixels.
enum class AvPixels {
    Bgr24,  // blue, green, red: the image record's 24-bit layout
    Rgb24,  // red, green, blue
};

struct QAvFrameLayout {
    AvPixels pixels = AvPixels::Bgr24;
    int32_t rowPixels = 0;  // row pitch in pixels, at least the width; 0: the width
};

struct QAvOpenOptions {
    // How long the open may read packets before it goes by the timeline, where the file allows;
    // at least the first 64 packets of each stream are always read.
    int32_t scanMilliseconds = 30;
};

// Opens a regular file (a pipe, a device or a folder is refused). Null on failure, with the
// reason in `error`. A file with neither usable pictures nor sound is refused.
QAvMedia* AvMediaOpen(const std::string& path, std::string& error,
                      const QAvOpenOptions& options = QAvOpenOptions());
// Closes and nulls `media`; null is fine.
void AvMediaClose(QAvMedia*& media);

const QAvFacts& AvMediaFacts(const QAvMedia* media);

// Writes picture `index` (0-based, presentation order) into `dest`: height rows top-down of
// rowPixels × 3 bytes each, the last row only width × 3 bytes; the bytes past the width of a
// row are left as they were. `destBytes` is the room at `dest`. False when the index is out of
// range, the room is too small, or the file is too damaged to give the picture; a frame that
// the file lost is replaced by the nearest earlier one it still has. While the frame count is
// an estimate, frames up to two seconds past it are tried, and reaching the end corrects it.
bool AvMediaFrame(QAvMedia* media, int64_t index, uint8_t* dest, size_t destBytes,
                  const QAvFrameLayout& layout = QAvFrameLayout());

// Writes up to `count` sample frames from sample frame `first` into `dest` as interleaved
// 16-bit PCM (channels × count values of room). Returns the sample frames written: fewer at
// the end of the stream or where the file is damaged past repair, -1 on bad arguments or
// when there is no sound.
int64_t AvMediaSound(QAvMedia* media, int64_t first, int64_t count, int16_t* dest);

}  // namespace kelvora
