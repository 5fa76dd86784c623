// Costs of the tracked register: allocation, lookup and release with a nearly empty table and
// with a crowded one (10,000 live blocks, close to the limit of 10240), and a monitored frame
// that fails and releases its blocks.
//
// The measured blocks are registered after the crowd, so they sit at the end of the table:
// the worst place for a scan from the front, the usual place for a block just allocated.

#include <benchmark/benchmark.h>

#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

// `n` small live blocks, registered at construction and released at destruction.
class Crowd {
public:
    explicit Crowd(int64_t n) : blocks_(static_cast<size_t>(n), nullptr) {
        for (auto& p : blocks_) MemAllocNew(p, 16);
    }
    ~Crowd() {
        for (auto& p : blocks_) MemFree(p);
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;
    std::vector<uint8_t*>& blocks() { return blocks_; }

private:
    std::vector<uint8_t*> blocks_;
};

}  // namespace

static void BM_AllocFree(benchmark::State& state) {
    Crowd crowd(state.range(0));
    for (auto _ : state) {
        uint8_t* p = nullptr;
        _memalloc_(p, 4096, __LINE__, MEM_KIND_C, "bench.BM_AllocFree.p");
        benchmark::DoNotOptimize(p);
        MemFree(p);
    }
}
BENCHMARK(BM_AllocFree)->Arg(0)->Arg(1000)->Arg(10000);

static void BM_IsTracked(benchmark::State& state) {
    Crowd crowd(state.range(0));
    uint8_t* p = nullptr;
    MemAllocNew(p, 64);
    for (auto _ : state) benchmark::DoNotOptimize(MemIsTracked(p));
    MemFree(p);
}
BENCHMARK(BM_IsTracked)->Arg(0)->Arg(10000);

static void BM_IsTrackedBy(benchmark::State& state) {
    Crowd crowd(state.range(0));
    uint8_t* p = nullptr;
    MemAllocNew(p, 64);
    for (auto _ : state) benchmark::DoNotOptimize(MemIsTrackedBy(&p, p));
    MemFree(p);
}
BENCHMARK(BM_IsTrackedBy)->Arg(0)->Arg(10000);

// An address the register does not hold: a full search whatever the order of the table.
static void BM_IsTrackedMissing(benchmark::State& state) {
    Crowd crowd(state.range(0));
    int local = 0;
    for (auto _ : state) benchmark::DoNotOptimize(MemIsTracked(&local));
}
BENCHMARK(BM_IsTrackedMissing)->Arg(0)->Arg(10000);

// A kind-C request on a block the variable holds finds its entry by owner and address.
static void BM_Resize(benchmark::State& state) {
    Crowd crowd(state.range(0));
    uint8_t* p = nullptr;
    int64_t size = 64;
    for (auto _ : state) {
        size = size == 64 ? 96 : 64;
        _memalloc_(p, size, __LINE__, MEM_KIND_C, "bench.BM_Resize.p");
        benchmark::DoNotOptimize(p);
    }
    MemFree(p);
}
BENCHMARK(BM_Resize)->Arg(0)->Arg(10000);

// Releases and replaces the crowd's blocks in turn: releases from anywhere in the table, each
// moving the last entry into the hole.
static void BM_FreeInCrowd(benchmark::State& state) {
    Crowd crowd(state.range(0));
    auto& blocks = crowd.blocks();
    size_t next = 0;
    for (auto _ : state) {
        MemFree(blocks[next]);
        MemAllocNew(blocks[next], 16);
        next = next + 1 == blocks.size() ? 0 : next + 1;
    }
}
BENCHMARK(BM_FreeInCrowd)->Arg(1)->Arg(10000);

static void BM_FailingFrame(benchmark::State& state) {
    Crowd crowd(state.range(0));
    for (auto _ : state) {
        MonitoredIsolated([] {
            uint8_t* a = nullptr;
            uint8_t* b = nullptr;
            MemAllocNew(a, 256);
            MemAllocNew(b, 256);
            ErrRaiseCode(ERR_IMG, 3, __LINE__);
        });
        benchmark::DoNotOptimize(ErrLastCode());
    }
}
BENCHMARK(BM_FailingFrame)->Arg(0)->Arg(10000);
