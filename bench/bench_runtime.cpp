// Costs of the tracked register: allocation and release with a full-ish table (the lookups
// are linear scans), and a monitored frame that fails and releases its blocks.

#include <benchmark/benchmark.h>

#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

static void BM_AllocFree(benchmark::State& state) {
    std::vector<uint8_t*> held(static_cast<size_t>(state.range(0)), nullptr);
    for (auto& p : held) MemAllocNew(p, 64);
    for (auto _ : state) {
        uint8_t* p = nullptr;
        _memalloc_(p, 4096, __LINE__, MEM_KIND_C, "bench.BM_AllocFree.p");
        benchmark::DoNotOptimize(p);
        MemFree(p);
    }
    for (auto& p : held) MemFree(p);
}
BENCHMARK(BM_AllocFree)->Arg(0)->Arg(1000)->Arg(10000);

static void BM_FailingFrame(benchmark::State& state) {
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
BENCHMARK(BM_FailingFrame);
