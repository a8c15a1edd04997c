#include "platform/heap.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <climits>

namespace zul {
namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
// The C library's own padding of each growth of the heap.
constexpr int kUsualTopPad = 128 * 1024;
// Small enough to come from the heap itself, never from a mapping of its own.
constexpr size_t kProbeBytes = 64 * 1024;

uintptr_t Break() {
    return reinterpret_cast<uintptr_t>(sbrk(0));
}

}  // namespace

CBulkLoadHeap::CBulkLoadHeap(size_t bytes) {
    if (bytes > static_cast<size_t>(INT_MAX)) bytes = INT_MAX;
    mallopt(M_TOP_PAD, static_cast<int>(bytes));
    // Takes blocks until the heap has to grow (by the padding now); freed, they go back to the
    // top of the heap, which keeps the padding.
    const uintptr_t before = Break();
    std::array<void*, 64> probes{};
    size_t taken = 0;
    while (taken < probes.size() && Break() == before) {
        probes[taken] = malloc(kProbeBytes);
        if (probes[taken] == nullptr) break;
        ++taken;
    }
    for (size_t i = taken; i > 0; --i) free(probes[i - 1]);
    const uintptr_t after = Break();
    if (after <= before) return;
    const uintptr_t begin = (before + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = after & ~(kHugePage - 1);
    if (end <= begin) return;
    if (madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE) == 0) {
        advisedBegin_ = begin;
        advisedEnd_ = end;
    }
}

CBulkLoadHeap::~CBulkLoadHeap() {
    mallopt(M_TOP_PAD, kUsualTopPad);
}

}  // namespace zul
