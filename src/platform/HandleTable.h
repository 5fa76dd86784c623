#pragma once
// The handle table of the decoder libraries' stand-ins: each open stream is named by a small
// positive number. Slot numbers fill the low bits of a handle and the slot's generation the
// rest, so that a handle names one open stream only, never a later one in the same slot: a
// closed or never-issued handle is refused. The table is safe to use from any thread; each
// entry carries a lock of its own for the calls on it, and an entry closed while a call is
// still running on it lives on until that call returns.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kelvora {

template <class T>
class QHandleTable {
public:
    // Stores `entry`; its handle, or 0 when the table is full.
    int32_t Add(std::shared_ptr<T> entry) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t slot = 0;
        while (slot < slots_.size() && slots_[slot].entry) ++slot;
        if (slot == slots_.size()) {
            if (slots_.size() >= static_cast<size_t>(kMaxSlots)) return 0;
            slots_.emplace_back();
        }
        Slot_& s = slots_[slot];
        s.generation = (s.generation + 1) % kGenerations;
        s.entry = std::move(entry);
        return s.generation << kSlotBits | static_cast<int32_t>(slot + 1);
    }
    // The entry `handle` names, or null.
    std::shared_ptr<T> Find(int32_t handle) {
        std::lock_guard<std::mutex> guard(lock_);
        Slot_* s = SlotOf_(handle);
        return s ? s->entry : nullptr;
    }
    // Takes the entry out of the table (null for an unknown handle); it closes when the caller
    // and every call still running on it let go.
    std::shared_ptr<T> Remove(int32_t handle) {
        std::lock_guard<std::mutex> guard(lock_);
        Slot_* s = SlotOf_(handle);
        return s ? std::move(s->entry) : nullptr;
    }

private:
    static constexpr int32_t kSlotBits = 12;
    static constexpr int32_t kMaxSlots = (1 << kSlotBits) - 1;
    static constexpr int32_t kGenerations = 1 << (31 - kSlotBits);
    struct Slot_ {
        std::shared_ptr<T> entry;
        int32_t generation = 0;
    };
    Slot_* SlotOf_(int32_t handle) {
        if (handle <= 0) return nullptr;
        const int32_t slot = (handle & kMaxSlots) - 1;
        if (slot < 0 || slot >= static_cast<int32_t>(slots_.size())) return nullptr;
        Slot_& s = slots_[static_cast<size_t>(slot)];
        return s.entry && s.generation == handle >> kSlotBits ? &s : nullptr;
    }
    std::mutex lock_;
    std::vector<Slot_> slots_;
};

}  // namespace kelvora
