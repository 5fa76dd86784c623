#include "platform/LazyLib.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(KV_LAZY_LIBS)

// The tables of the generated stubs (cmake/LazyStubs.cmake).
extern "C" {
extern const char* const kv_lazy_names[];
extern const unsigned char kv_lazy_owner[];
extern const char* const kv_lazy_sonames[];
extern const int kv_lazy_count;
extern const int kv_lazy_library_count;
extern void* kv_lazy_slots[];
}

namespace kelvora {

namespace {

constexpr int MAX_LIBRARIES_ = 32;
std::mutex gLock;
void* gHandles[MAX_LIBRARIES_];  // guarded by gLock

// The library's handle, loading it on first use; null with the reason when it cannot be had.
void* Open_(int library, std::string& why) {
    std::lock_guard<std::mutex> lock(gLock);
    if (library < 0 || library >= kv_lazy_library_count || library >= MAX_LIBRARIES_) {
        why = "not a library loaded on first use";
        return nullptr;
    }
    if (!gHandles[library]) {
        gHandles[library] = dlopen(kv_lazy_sonames[library], RTLD_NOW | RTLD_LOCAL);
        if (!gHandles[library]) {
            const char* e = dlerror();
            why = e ? e : kv_lazy_sonames[library];
        }
    }
    return gHandles[library];
}

int Find_(const std::string& stem) {
    for (int i = 0; i < kv_lazy_library_count; ++i)
        if (std::string(kv_lazy_sonames[i]).rfind(stem, 0) == 0) return i;
    return -1;
}

}  // namespace

bool LazyLibLoad(const std::string& stem, std::string& why) {
    return Open_(Find_(stem), why) != nullptr;
}

}  // namespace kelvora

// Called by a stub's first call (from any thread) with the stub's index: fills its slot with
// the real function and returns it. Two threads may race to fill one slot; both store the same
// address. Nothing may be thrown through the stubs, so a missing library ends the program.
extern "C" void* kv_lazy_resolve(long index) noexcept {
    std::string why;
    void* handle = index >= 0 && index < kv_lazy_count ? kelvora::Open_(kv_lazy_owner[index], why)
                                                       : nullptr;
    void* function = handle ? dlsym(handle, kv_lazy_names[index]) : nullptr;
    if (!function) {
        std::fprintf(stderr, "kelvora: cannot load %s from %s: %s\n",
                     index >= 0 && index < kv_lazy_count ? kv_lazy_names[index] : "?",
                     index >= 0 && index < kv_lazy_count ? kv_lazy_sonames[kv_lazy_owner[index]] : "?",
                     handle ? "no such function" : why.c_str());
        std::abort();
    }
    __atomic_store_n(&kv_lazy_slots[index], function, __ATOMIC_RELEASE);
    return function;
}

#else

namespace kelvora {

bool LazyLibLoad(const std::string&, std::string&) { return true; }

}  // namespace kelvora

#endif
