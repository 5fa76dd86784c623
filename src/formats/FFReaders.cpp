#include "formats/FFReaders.h"

#include <type_traits>

#include "formats/FF_AVF.h"
#include "formats/FF_AVI.h"
#include "formats/FF_BAY.h"
#include "formats/FF_BMP.h"
#include "formats/FF_FLC.h"
#include "formats/FF_GIF.h"
#include "formats/FF_HAV.h"
#include "formats/FF_JPG.h"
#include "formats/FF_MPG.h"
#include "formats/FF_OGG.h"
#include "formats/FF_PCX.h"
#include "formats/FF_PNG.h"
#include "formats/FF_PNM.h"
#include "formats/FF_RAS.h"
#include "formats/FF_SGI.h"
#include "formats/FF_TGA.h"
#include "formats/FF_TIF.h"
#include "formats/FF_WAV.h"
#include "formats/FF_XPM.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// --- Movie entry points over a handle slot ------------------------------------------------------
// `Slot` is the MviHandle member that holds the format's reader; each adaptor hands the reader in
// it to the reader's own routine.

template <auto Slot>
using ReaderOf_ =
    std::remove_pointer_t<std::remove_reference_t<decltype(std::declval<MviHandle&>().*Slot)>>;

// The reader handle lives in a zeroed tracked block labelled after the slot. The failure release
// of Basic frees such a block without running destructors, hence the requirement on its type.
template <auto Slot, auto Open, const char* Label>
void OpenVia_(MviHandle& mf, const std::string& fileName) {
    using Reader = ReaderOf_<Slot>;
    static_assert(std::is_trivially_copyable_v<Reader> && std::is_trivially_destructible_v<Reader>,
                  "a reader handle lives in a tracked block: it must be a plain record");
    Reader*& slot = mf.*Slot;
    _memalloc_(slot, sizeof(Reader), __LINE__, MEM_KIND_C, Label);
    Open(*slot, fileName);
}

template <auto Slot, auto Nearest>
int32_t NearestKeyFrameVia_(MviHandle& mf, int32_t frame, int32_t direction) {
    return mf.*Slot ? Nearest(*(mf.*Slot), frame, direction) : 1;
}

template <auto Slot, auto Time>
double FrameTimeVia_(const MviHandle& mf, int32_t frame) {
    return mf.*Slot ? Time(*(mf.*Slot), frame) : -1;
}

template <auto Slot, auto Load>
void ImgLoadVia_(MviHandle& mf, Qimg& image, int32_t frame, int32_t mode) {
    if (!(mf.*Slot)) ErrFail(ERR_MVI, MVI_NOT_SUPPORTED);
    Load(*(mf.*Slot), image, frame, mode);
}

template <auto Slot, auto Seek>
void SndSeekVia_(MviHandle& mf, int32_t position) {
    if (mf.*Slot) Seek(*(mf.*Slot), position);
}

template <auto Slot, auto Load>
void SndLoadVia_(MviHandle& mf, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    if (!(mf.*Slot)) ErrFail(ERR_MVI, MVI_NOT_SUPPORTED);
    Load(*(mf.*Slot), sound, start, cont, count);
}

// Only a block the register still holds for this slot is the reader: after a failure released it,
// the address may already belong to someone else.
template <auto Slot, auto Close>
void CloseVia_(MviHandle& mf) {
    auto*& slot = mf.*Slot;
    if (!MemIsTrackedBy(&slot, slot)) return;
    Close(*slot);
    MemFree(slot);
}

// The picture views every reader with pictures has under the same names.
template <class Reader>
void BindImageViews_(MviHandle& mf, const Reader& h) {
    mf.width = &h.width;
    mf.height = &h.height;
    mf.bytesPP = &h.bytesPP;
    mf.bitsPP = &h.bitsPP;
    mf.frameRate = &h.frameRate;
    mf.frames = &h.frames;
    mf.curFrame = &h.curFrame;
    mf.newPalette = &h.newPalette;
}

// --- HAV

constexpr char kHavLabel[] = "ConForm.MviOpen.mf.HAV";

// Every view and the sound format.
void BindHav_(MviHandle& mf) {
    const QHavHandle* h = mf.hav;
    if (!h) return;
    BindImageViews_(mf, *h);
    mf.sndPos = &h->sndNextPos;
    mf.writeMode = &h->writeMode;
    mf.soundFormat = &h->soundFormat;
}

// --- GIF

constexpr char kGifLabel[] = "ConForm.MviOpen.mf.GIF";

// A still GIF is its first picture: no scan of the whole file. The frame closes the file when
// the picture cannot be composed.
void GIFLoadFirst_(const std::string& fileName, Qimg& image) {
    QGifHandle gif{};
    Monitored([&] {
        GIFOpen(gif, fileName, true);
        GIFLoadNext(gif, image);
        GIFClose(gif);
    });
}

// The information counts every picture.
void GIFInfoAll_(const std::string& fileName, QffInfo& info) { GIFInfo(fileName, info, true); }

void GIFOpenAll_(QGifHandle& h, const std::string& fileName) { GIFOpen(h, fileName, false); }

// Every image view; sound position and write mode stay zero.
void BindGif_(MviHandle& mf) {
    if (const QGifHandle* h = mf.gif) BindImageViews_(mf, *h);
}

// --- FLIC

constexpr char kFlcLabel[] = "ConForm.MviOpen.mf.FLC";

// Every image view and the write mode.
void BindFlc_(MviHandle& mf) {
    const QFlcHandle* h = mf.flc;
    if (!h) return;
    BindImageViews_(mf, *h);
    mf.writeMode = &h->writeMode;
}

// --- AVI

constexpr char kAviLabel[] = "ConForm.MviOpen.mf.AVI";

// Every view and the PCM delivered.
void BindAvi_(MviHandle& mf) {
    const QAviHandle* h = mf.avi;
    if (!h) return;
    BindImageViews_(mf, *h);
    mf.sndPos = &h->sndNextPos;
    mf.writeMode = &h->writeMode;
    mf.soundFormat = &h->outFormat;
}

// --- MPEG and MPEG audio

constexpr char kMpgLabel[] = "ConForm.MviOpen.mf.MPG";

void MpgOpenPlain_(QMpgHandle& h, const std::string& fileName) { MpgOpen(h, fileName, 0); }

// The picture views live in the library's picture record; the sound position and the PCM
// delivered in the handle.
void BindMpg_(MviHandle& mf) {
    const QMpgHandle* h = mf.mpg;
    if (!h) return;
    mf.width = &h->picture.width;
    mf.height = &h->picture.height;
    mf.bytesPP = &h->picture.bytesPP;
    mf.bitsPP = &h->picture.bitsPP;
    mf.frameRate = &h->frameRate;
    mf.frames = &h->frames;
    mf.curFrame = &h->framesDecoded;
    mf.sndPos = &h->sndPos;
    mf.soundFormat = &h->outFormat;
}

// MPEG system and video streams and MPEG audio files: one reader.
constexpr QffReader MpgRow_(int32_t type) {
    return {.type = type,
            .info = MpgInfo,
            .open = OpenVia_<&MviHandle::mpg, MpgOpenPlain_, kMpgLabel>,
            .imgLoad = ImgLoadVia_<&MviHandle::mpg, MpgImgLoad>,
            .sndSeek = SndSeekVia_<&MviHandle::mpg, MpgSndSeek>,
            .sndLoad = SndLoadVia_<&MviHandle::mpg, MpgSndLoad>,
            .close = CloseVia_<&MviHandle::mpg, MpgClose>,
            .bind = BindMpg_,
            .kindSingle = UNI_MOVIE,
            .kindMany = UNI_MOVIE};
}

// --- WAV

constexpr char kWavLabel[] = "ConForm.MviOpen.mf.WAV";

// Sound only: the sound position, the write mode and the PCM delivered.
void BindWav_(MviHandle& mf) {
    const QWavHandle* h = mf.wav;
    if (!h) return;
    mf.sndPos = &h->sndPos;
    mf.writeMode = &h->writeMode;
    mf.soundFormat = &h->outFormat;
}

// --- Ogg Vorbis

constexpr char kOggLabel[] = "ConForm.MviOpen.mf.OGG";

// Sound only: the sound position, the write mode and the PCM delivered.
void BindOgg_(MviHandle& mf) {
    const QOggHandle* h = mf.ogg;
    if (!h) return;
    mf.sndPos = &h->position;
    mf.writeMode = &h->writeMode;
    mf.soundFormat = &h->format;
}

// --- Today's containers

constexpr char kAvfLabel[] = "ConForm.MviOpen.mf.AVF";

// Every view and the PCM delivered.
void BindAvf_(MviHandle& mf) {
    const QAvfHandle* h = mf.avf;
    if (!h) return;
    BindImageViews_(mf, *h);
    mf.sndPos = &h->sndPos;
    mf.writeMode = &h->writeMode;
    mf.soundFormat = &h->outFormat;
}

// Each type describes only its own containers, so that probing names a file after what it is.
template <int32_t Type>
void AvfInfoAs_(const std::string& fileName, QffInfo& info) {
    AvfInfoAs(fileName, Type, info);
}

// One reader for every type; sound types take a file with pictures as well.
template <int32_t Type>
constexpr QffReader AvfRow_() {
    return {.type = Type,
            .info = AvfInfoAs_<Type>,
            .open = OpenVia_<&MviHandle::avf, AvfOpen, kAvfLabel>,
            .nearestKeyFrame = NearestKeyFrameVia_<&MviHandle::avf, AvfNearestKeyFrame>,
            .frameTime = FrameTimeVia_<&MviHandle::avf, AvfFrameTime>,
            .imgLoad = ImgLoadVia_<&MviHandle::avf, AvfImgLoad>,
            .sndSeek = SndSeekVia_<&MviHandle::avf, AvfSndSeek>,
            .sndLoad = SndLoadVia_<&MviHandle::avf, AvfSndLoad>,
            .close = CloseVia_<&MviHandle::avf, AvfClose>,
            .bind = BindAvf_,
            .done = AvfDone,
            .kindSingle = UNI_MOVIE,
            .kindMany = UNI_MOVIE};
}

// --- The table -----------------------------------------------------------------------------------
// One row per format type, in type order.

constexpr QffReader kReaders[] = {
    {.type = FT_TGA, .load = TGALoad_, .info = TGAInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_PCX, .load = PCXLoad_, .info = PCXInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_BMP, .load = DIBLoad_, .info = DIBInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_GIF,
     .load = GIFLoadFirst_,
     .info = GIFInfoAll_,
     .open = OpenVia_<&MviHandle::gif, GIFOpenAll_, kGifLabel>,
     .imgLoad = ImgLoadVia_<&MviHandle::gif, GIFLoad>,
     .close = CloseVia_<&MviHandle::gif, GIFClose>,
     .bind = BindGif_,
     .done = GIFDone,
     .kindSingle = UNI_STILL,
     .kindMany = UNI_MOVIE},
    {.type = FT_FLIC,
     .info = FLCInfo,
     .open = OpenVia_<&MviHandle::flc, FLCOpen, kFlcLabel>,
     .imgLoad = ImgLoadVia_<&MviHandle::flc, FLCLoad>,
     .close = CloseVia_<&MviHandle::flc, FLCClose>,
     .bind = BindFlc_,
     .kindSingle = UNI_MOVIE,
     .kindMany = UNI_MOVIE},
    {.type = FT_AVI,
     .info = AviInfo,
     .open = OpenVia_<&MviHandle::avi, AviOpen, kAviLabel>,
     .nearestKeyFrame = NearestKeyFrameVia_<&MviHandle::avi, AviNearestKeyFrame>,
     .imgLoad = ImgLoadVia_<&MviHandle::avi, AviImgLoad>,
     .sndSeek = SndSeekVia_<&MviHandle::avi, AviSndSeek>,
     .sndLoad = SndLoadVia_<&MviHandle::avi, AviSndLoad>,
     .close = CloseVia_<&MviHandle::avi, AviClose>,
     .bind = BindAvi_,
     .kindSingle = UNI_MOVIE,
     .kindMany = UNI_MOVIE},
    {.type = FT_HAV,
     .info = HAVInfo,
     .open = OpenVia_<&MviHandle::hav, HAVOpen, kHavLabel>,
     .nearestKeyFrame = NearestKeyFrameVia_<&MviHandle::hav, HAVNearestKeyFrame>,
     .imgLoad = ImgLoadVia_<&MviHandle::hav, HAVImgLoad>,
     .sndSeek = SndSeekVia_<&MviHandle::hav, HAVSndSeek>,
     .sndLoad = SndLoadVia_<&MviHandle::hav, HAVSndLoad>,
     .close = CloseVia_<&MviHandle::hav, HAVClose>,
     .bind = BindHav_,
     .kindSingle = UNI_MOVIE,
     .kindMany = UNI_MOVIE},
    {.type = FT_JPEG,
     .load = JPGLoad,
     .info = JPGInfo,
     .loadRows = JPGLoadRows,
     .kindSingle = UNI_STILL,
     .kindMany = UNI_SEQUENCE},
    {.type = FT_PNG, .load = PNGLoad, .info = PNGInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_TIFF, .load = TIFLoad, .info = TIFInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    MpgRow_(FT_MPEG),
    {.type = FT_WAV,
     .info = WAVInfo,
     .open = OpenVia_<&MviHandle::wav, WAVOpen, kWavLabel>,
     .sndSeek = SndSeekVia_<&MviHandle::wav, WAVSeek>,
     .sndLoad = SndLoadVia_<&MviHandle::wav, WAVLoad>,
     .close = CloseVia_<&MviHandle::wav, WAVClose>,
     .bind = BindWav_,
     .kindSingle = UNI_MOVIE,
     .kindMany = UNI_MOVIE},
    {.type = FT_SGI, .load = SGILoad, .info = SGIInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_RAS, .load = RASLoad, .info = RASInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_PNM, .load = PNMLoad, .info = PNMInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_BAY, .load = BayLoad, .info = BayInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    {.type = FT_XPM, .load = XPMLoad, .info = XPMInfo, .kindSingle = UNI_STILL, .kindMany = UNI_SEQUENCE},
    MpgRow_(FT_MPA),
    {.type = FT_OGG,
     .info = OggInfo,
     .open = OpenVia_<&MviHandle::ogg, OggOpen, kOggLabel>,
     .sndSeek = SndSeekVia_<&MviHandle::ogg, OggSeek>,
     .sndLoad = SndLoadVia_<&MviHandle::ogg, OggLoad>,
     .close = CloseVia_<&MviHandle::ogg, OggClose>,
     .bind = BindOgg_,
     .kindSingle = UNI_MOVIE,
     .kindMany = UNI_MOVIE},
    AvfRow_<FT_MP4>(),
    AvfRow_<FT_MKV>(),
    AvfRow_<FT_M4A>(),
    AvfRow_<FT_MKA>(),
    AvfRow_<FT_FLAC>(),
    AvfRow_<FT_OPUS>(),
    AvfRow_<FT_AAC>(),
    AvfRow_<FT_MPTS>(),
    AvfRow_<FT_FLV>(),
    AvfRow_<FT_ASF>(),
    AvfRow_<FT_WMA>(),
};

constexpr int32_t kReaderCount = static_cast<int32_t>(sizeof kReaders / sizeof kReaders[0]);

// Row k serves type k + 1, so that a lookup is an index.
constexpr bool InTypeOrder_() {
    for (int32_t i = 0; i < kReaderCount; ++i)
        if (kReaders[i].type != i + 1) return false;
    return true;
}
static_assert(InTypeOrder_(), "the reader table must list the format types in order, without gaps");

}  // namespace

const QffReader* FFReaderOf(int64_t type) {
    return type >= 1 && type <= kReaderCount ? &kReaders[type - 1] : nullptr;
}

}  // namespace kelvora
