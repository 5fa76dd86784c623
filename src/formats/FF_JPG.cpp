#include "formats/FF_JPG.h"

#include "formats/FFBasic.h"
#include "platform/libimg.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// The sink runs between the library's calls but must not throw through them: its raise is
// caught in an isolated frame, kept, and raised again once the library has cleaned up.
struct RowsCall_ {
    const QRowSink* sink;
    int32_t group;
    int32_t code;
};

int RowsToSink_(void* context, const uint8_t* rows, int32_t count) {
    auto* call = static_cast<RowsCall_*>(context);
    MonitoredIsolated([&] { (*call->sink)(rows, count); });
    if (ErrNone()) return 0;
    call->group = ErrLastGroup();
    call->code = ErrLastCode();
    return 1;
}

}  // namespace

void JPGInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        int32_t width = 0, height = 0, bytesPP = 0;
        ErrRaiseCode(ERR_IMG,
                     info_JPEG_file(fileName.c_str(), width, height, bytesPP) != 0 ? IMG_OPEN : 0,
                     __LINE__);
        FFFillPictureInfo(info, FileSizeByName(fileName), width, height, bytesPP, bytesPP * 8,
                          width > 0);
        info.videoCompression = "JFIF 1.02";
    });
}

void JPGLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QffInfo info;
        FFClearInfo(info);
        JPGInfo(fileName, info);
        if (!FFSaneGeometry(info.width, info.height, info.bitsPP))
            ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        _imgalloc_(image, info.width, info.height, "FF_JPG.JPGLoad.img", __LINE__, info.bitsPP);
        // The library checks that the file still has the size the block was made for.
        int32_t width = info.width, height = info.height, bytesPP = info.bytesPP;
        const int result = read_JPEG_file(fileName.c_str(), image.data, width, height, bytesPP);
        ErrRaiseCode(ERR_IMG, result != 0 ? IMG_OPEN : 0, __LINE__);
        ImgSetSize(image, width, height, bytesPP * 8);
        if (bytesPP == 1) PalGreyRamp(image.palette);
    });
}

void JPGLoadRows(const std::string& fileName, int32_t width, int32_t height, const QRowSink& sink) {
    Monitored([&] {
        RowsCall_ call{&sink, 0, 0};
        const int result = read_JPEG_rows(fileName.c_str(), width, height, RowsToSink_, &call);
        if (call.group != 0) ErrRaiseCode(call.group, call.code, __LINE__);
        ErrRaiseCode(ERR_IMG, result != 0 ? IMG_OPEN : 0, __LINE__);
    });
}

}  // namespace kelvora
