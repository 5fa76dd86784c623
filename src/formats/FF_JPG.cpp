#include "formats/FF_JPG.h"

#include "formats/FFBasic.h"
#include "platform/libimg.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

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

}  // namespace kelvora
