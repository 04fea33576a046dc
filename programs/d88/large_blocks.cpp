// d88's large blocks of memory (256 KiB and more: an image read whole, the image edited)
// come from memory mapped for each, 2 MiB aligned and asked for in huge pages, every page
// mapped in at once. A fresh buffer of 4 KiB pages takes a page fault per page as it is first
// written, and a TLB miss per page as it is read, written and flushed; on a virtual machine
// that cost more than everything else a get or a put of a 1.2 MB disk does. The replacement
// of the global operator new and delete is the C++ library's own hook for this, so the
// library code, its std::vector and d88 stay as they are.
//
// Linux only, and not in sanitizer builds, whose runtimes replace operator new themselves.
// Everything else (and a block when the table below is full or the system refuses the
// mapping) goes to malloc, as the default operator new does.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define RETRODISK_NO_LARGE_BLOCKS
#endif
#endif
#ifndef RETRODISK_NO_LARGE_BLOCKS

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr size_t kLargeFrom = size_t(256) << 10;
constexpr size_t kHugePage = size_t(2) << 20;

// The blocks mapped, so that delete knows them: a slot is free while its start is null.
// d88 holds a few large blocks at a time; past kSlots, blocks come from malloc.
constexpr int kSlots = 16;
struct Slot {
    std::atomic<void*> start{nullptr};
    size_t size = 0;  // set before start, read after it
};
Slot slots[kSlots];

// `size` bytes (a multiple of kHugePage) at a kHugePage boundary, in huge pages where the
// kernel gives them, every page mapped in; null when there are none.
void* mapLarge(size_t size) {
    // One huge page more than asked for, so that an aligned start lies inside; the ends
    // beyond what is used are given back.
    void* mapped =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* const begin = static_cast<uint8_t*>(mapped);
    const size_t lead = (kHugePage - uintptr_t(begin) % kHugePage) % kHugePage;
    uint8_t* const memory = begin + lead;
    if (lead > 0) munmap(begin, lead);
    munmap(memory + size, kHugePage - lead);  // never 0 bytes: lead < kHugePage
#ifdef MADV_HUGEPAGE
    (void)madvise(memory, size, MADV_HUGEPAGE);  // hints: without them the pages come one by one
#endif
#ifdef MADV_POPULATE_WRITE
    (void)madvise(memory, size, MADV_POPULATE_WRITE);
#endif
    return memory;
}

// A mapped block on record for `size` bytes; null when it cannot be had.
void* allocateLarge(size_t size) {
    if (size > SIZE_MAX - 2 * kHugePage) return nullptr;
    const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    for (Slot& slot : slots) {
        void* expected = nullptr;
        // Claimed with a marker first, so that no other thread takes the slot meanwhile.
        void* const claimed = &slot;
        if (!slot.start.compare_exchange_strong(expected, claimed)) continue;
        void* memory = mapLarge(rounded);
        if (memory == nullptr) {
            slot.start.store(nullptr);
            return nullptr;
        }
        slot.size = rounded;
        slot.start.store(memory);
        return memory;
    }
    return nullptr;
}

// True, with the block unmapped, when `p` is a mapped block on record.
bool freeLarge(void* p) {
    // Every delete comes here: a block that does not start at a huge page boundary is none
    // of these, which spares the table search for nearly all.
    if (p == nullptr || uintptr_t(p) % kHugePage != 0) return false;
    for (Slot& slot : slots) {
        void* expected = p;
        if (slot.start.load(std::memory_order_relaxed) != p ||
            !slot.start.compare_exchange_strong(expected, &slot))
            continue;
        munmap(p, slot.size);
        slot.start.store(nullptr);
        return true;
    }
    return false;
}

}  // namespace

void* operator new(size_t size) {
    if (size >= kLargeFrom) {
        void* memory = allocateLarge(size);
        if (memory != nullptr) return memory;
    }
    // As the default: malloc, the new-handler while it fails, bad_alloc without one.
    for (;;) {
        void* memory = std::malloc(size == 0 ? 1 : size);
        if (memory != nullptr) return memory;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void operator delete(void* p) noexcept {
    if (!freeLarge(p)) std::free(p);
}

void operator delete(void* p, size_t /*size*/) noexcept {
    operator delete(p);
}

#endif
#endif
