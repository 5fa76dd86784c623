#include "formats/FF_XPM.h"

#include "formats/FFBasic.h"
#include "platform/libimg.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// The size pass: width and height of the file's picture.
QXpmDesc XPMSize_(const std::string& fileName) {
    QXpmDesc desc{0, 0, 0, nullptr, 0};
    ErrRaiseCode(ERR_IMG, ReadXpm(fileName.c_str(), desc) != 0 ? IMG_OPEN : 0, __LINE__);
    return desc;
}

}  // namespace

void XPMInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        const QXpmDesc desc = XPMSize_(fileName);
        FFFillPictureInfo(info, FileSizeByName(fileName), desc.width, desc.height, 3, 24,
                          desc.width > 0);
    });
}

void XPMLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QXpmDesc desc = XPMSize_(fileName);
        if (!FFSaneGeometry(desc.width, desc.height, 24)) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        _imgalloc_(image, desc.width, desc.height, "FF_XPM.XPMLoad.img", __LINE__, 24);
        // The library fills the block only when the file still has the size it was made for.
        desc.pixels = image.data;
        desc.bufferSize = image.size;
        ErrRaiseCode(ERR_IMG, ReadXpm(fileName.c_str(), desc) != 0 ? IMG_OPEN : 0, __LINE__);
        ImgSetSize(image, desc.width, desc.height, 24);
    });
}

}  // namespace kelvora
