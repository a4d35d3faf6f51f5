#include "heap_meter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> held{0};
std::atomic<size_t> peak{0};

size_t SizeOf(void* block) {
#ifdef _WIN32
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

void* Take(size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    const size_t now = held.fetch_add(SizeOf(block)) + SizeOf(block);
    size_t most = peak.load();
    while (now > most && !peak.compare_exchange_weak(most, now)) {}
    return block;
}

void Give(void* block) noexcept {
    if (block == nullptr) return;
    held.fetch_sub(SizeOf(block));
    std::free(block);
}

}  // namespace

void* operator new(size_t size) { return Take(size); }
void* operator new[](size_t size) { return Take(size); }
void operator delete(void* block) noexcept { Give(block); }
void operator delete[](void* block) noexcept { Give(block); }
void operator delete(void* block, size_t) noexcept { Give(block); }
void operator delete[](void* block, size_t) noexcept { Give(block); }

namespace veltrin::bench {

size_t StartHeapMeasure() {
    const size_t now = held.load();
    peak.store(now);
    return now;
}

size_t HeapPeak() { return peak.load(); }

}  // namespace veltrin::bench
