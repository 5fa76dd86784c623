#include "platform/AvCommon.h"

extern "C" {
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
