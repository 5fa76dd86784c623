#include "platform/AvCommon.h"

#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace kelvora {

void AvQuietLog() {
    // Some decoders report an ordinary damaged frame at the fatal level: nothing is printed.
    static const bool once = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)once;
}

int AvFileRead(void* file, uint8_t* buf, int size) {
    const size_t n = std::fread(buf, 1, static_cast<size_t>(size), static_cast<std::FILE*>(file));
    return n > 0 ? static_cast<int>(n) : AVERROR_EOF;
}

int64_t AvFileSeek(void* file, int64_t offset, int whence) {
    auto* f = static_cast<std::FILE*>(file);
    if (whence & AVSEEK_SIZE) {
        const off_t at = ftello(f);
        if (fseeko(f, 0, SEEK_END) != 0) return -1;
        const off_t size = ftello(f);
        fseeko(f, at, SEEK_SET);
        return size;
    }
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    if (fseeko(f, static_cast<off_t>(offset), whence) != 0) return -1;
    return ftello(f);
}

bool AvDemuxOpen(QAvDemux& d, std::FILE* file, const char* name, AVDictionary** options) {
    d = QAvDemux();
    if (!file) return false;
    constexpr int kBuffer = 65536;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
    if (buffer)
        d.io = avio_alloc_context(buffer, kBuffer, 0, file, AvFileRead, nullptr, AvFileSeek);
    if (!d.io) av_free(buffer);
    d.fmt = d.io ? avformat_alloc_context() : nullptr;
    if (!d.fmt) {
        AvDemuxClose(d);
        return false;
    }
    d.fmt->pb = d.io;
    d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&d.fmt, name, nullptr, options) < 0) {
        d.fmt = nullptr;  // freed by the failed open
        AvDemuxClose(d);
        return false;
    }
    if (avformat_find_stream_info(d.fmt, nullptr) < 0) {
        AvDemuxClose(d);
        return false;
    }
    return true;
}

void AvDemuxClose(QAvDemux& d) {
    if (d.fmt) avformat_close_input(&d.fmt);
    if (d.io) {
        av_freep(&d.io->buffer);
        avio_context_free(&d.io);
    }
    d = QAvDemux();
}

QAvHelper::QAvHelper() : thread_([this] { Run(); }) {}

QAvHelper::~QAvHelper() {
    {
        std::lock_guard<std::mutex> g(lock_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void QAvHelper::Run() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [this] { return quit_ || job_; });
        if (quit_ && !job_) return;
        std::function<void()> run = std::move(job_);
        job_ = nullptr;
        g.unlock();
        run();
        g.lock();
        busy_ = false;
        wake_.notify_all();
    }
}

void QAvHelper::Start(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> g(lock_);
        job_ = std::move(job);
        busy_ = true;
    }
    wake_.notify_all();
}

void QAvHelper::Wait() {
    std::unique_lock<std::mutex> g(lock_);
    wake_.wait(g, [this] { return !busy_; });
}

}  // namespace kelvora
