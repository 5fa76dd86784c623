#include "platform/RiffFile.h"

#include "platform/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvora {

// An open file: the descriptor, its size at open, the position, and one buffered window.
struct QMmioFile {
    int fd = -1;
    int64_t size = 0;
    int64_t pos = 0;
    std::vector<uint8_t> buffer;
    int64_t bufBase = 0;  // file offset of buffer[0]
    int64_t bufLen = 0;   // valid bytes in the buffer
};

namespace {

constexpr int64_t kBufferBytes = 64 * 1024;

// Reads at `offset` until `count` bytes or the end of the file; the bytes read, -1 on failure.
int64_t ReadAt_(int fd, uint8_t* out, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, out + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

// Reads `count` bytes at the position through the buffer; the bytes read, -1 on failure.
int64_t Read_(QMmioFile& f, uint8_t* out, int64_t count) {
    int64_t done = 0;
    while (done < count && f.pos < f.size) {
        if (f.pos >= f.bufBase && f.pos < f.bufBase + f.bufLen) {
            const int64_t n = std::min(count - done, f.bufBase + f.bufLen - f.pos);
            std::memcpy(out + done, f.buffer.data() + (f.pos - f.bufBase), static_cast<size_t>(n));
            done += n;
            f.pos += n;
            continue;
        }
        if (count - done >= kBufferBytes) {  // large reads go straight to the caller
            const int64_t n = ReadAt_(f.fd, out + done, count - done, f.pos);
            if (n < 0) return -1;
            done += n;
            f.pos += n;
            break;
        }
        const int64_t n = ReadAt_(f.fd, f.buffer.data(), kBufferBytes, f.pos);
        if (n < 0) return -1;
        f.bufBase = f.pos;
        f.bufLen = n;
        if (n == 0) break;
    }
    return done;
}

bool HoldsChunks_(uint32_t id) { return id == FOURCC_RIFF || id == FOURCC_LIST; }

}  // namespace

HMMIO mmioOpenA(const std::string& fileName, void* /*info*/, uint32_t /*flags*/) {
    // No blocking on a FIFO or a device: only a regular file is a RIFF file.
    struct stat st {};
    const int fd = FileOpenRegular(fileName, O_RDONLY, &st);
    if (fd < 0) return nullptr;
    auto* f = new QMmioFile;
    f->fd = fd;
    f->size = st.st_size;
    f->buffer.resize(kBufferBytes);
    return f;
}

int32_t mmioDescend(HMMIO file, MMCKINFO& ck, const MMCKINFO* parent, uint32_t flags) {
    if (!file) return MMIOERR_CHUNKNOTFOUND;
    QMmioFile& f = *file;
    const uint32_t wantedId = ck.ckid;
    const uint32_t wantedType = ck.fccType;
    const int64_t limit = parent ? parent->dwDataOffset + int64_t{parent->cksize} : INT64_MAX;
    for (;;) {
        const int64_t start = f.pos;
        if (start < 0 || start > limit - 8) return MMIOERR_CHUNKNOTFOUND;
        uint8_t header[12];
        if (Read_(f, header, 8) != 8) {
            f.pos = start;
            return MMIOERR_CHUNKNOTFOUND;
        }
        const uint32_t id = RiffU32(header);
        const uint32_t size = RiffU32(header + 4);
        uint32_t type = 0;
        if (HoldsChunks_(id)) {
            if (Read_(f, header + 8, 4) != 4) {
                f.pos = start;
                return MMIOERR_CHUNKNOTFOUND;
            }
            type = RiffU32(header + 8);
        }
        bool match = true;
        if (flags & MMIO_FINDCHUNK)
            match = id == wantedId;
        else if (flags & MMIO_FINDRIFF)
            match = id == FOURCC_RIFF && type == wantedType;
        else if (flags & MMIO_FINDLIST)
            match = id == FOURCC_LIST && type == wantedType;
        if (match) {
            ck.ckid = id;
            ck.cksize = size;
            ck.fccType = type;
            ck.dwDataOffset = start + 8;
            ck.dwFlags = 0;
            return 0;
        }
        // The next chunk follows this one's data and pad byte: always further on, so the search
        // ends at the end of the file or of the parent.
        f.pos = start + 8 + int64_t{size} + (size & 1);
    }
}

int32_t mmioAscend(HMMIO file, const MMCKINFO& ck, uint32_t /*flags*/) {
    if (!file || ck.dwDataOffset < 0) return MMIOERR_CANNOTSEEK;
    file->pos = ck.dwDataOffset + int64_t{ck.cksize} + (ck.cksize & 1);
    return 0;
}

int32_t mmioRead(HMMIO file, void* buffer, int32_t count) {
    if (!file || count < 0 || (count > 0 && !buffer)) return -1;
    return static_cast<int32_t>(Read_(*file, static_cast<uint8_t*>(buffer), count));
}

int64_t mmioSeek(HMMIO file, int64_t offset, int32_t origin) {
    if (!file) return -1;
    int64_t base = 0;
    if (origin == MMIO_SEEK_CUR)
        base = file->pos;
    else if (origin == MMIO_SEEK_END)
        base = file->size;
    else if (origin != MMIO_SEEK_SET)
        return -1;
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
    file->pos = base + offset;
    return file->pos;
}

int32_t mmioClose(HMMIO file, uint32_t /*flags*/) {
    if (!file) return MMIOERR_CANNOTCLOSE;
    const int result = ::close(file->fd);
    delete file;
    return result == 0 ? 0 : MMIOERR_CANNOTCLOSE;
}

}  // namespace kelvora
