// The heap as a large load wants it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zul {

// While it lives, the heap of the thread that made it grows in steps of at least `bytes`, and
// it has grown by one such step at once, backed by the kernel's huge pages where the kernel
// offers them on request (transparent huge pages in "madvise" mode). Loading tens of thousands
// of contacts then first touches a few dozen 2 MB pages instead of thousands of 4 KB ones, and
// each first touch is a fault (costly in a virtual machine). Pages never touched cost nothing;
// when it ends, the usual padding returns and the heap shrinks again as memory is freed.
class CBulkLoadHeap {
  public:
    explicit CBulkLoadHeap(size_t bytes);
    ~CBulkLoadHeap();
    CBulkLoadHeap(const CBulkLoadHeap&) = delete;
    CBulkLoadHeap& operator=(const CBulkLoadHeap&) = delete;

    // The stretch of the heap advised for huge pages (empty when none was).
    uintptr_t AdvisedBegin() const { return advisedBegin_; }
    uintptr_t AdvisedEnd() const { return advisedEnd_; }

  private:
    uintptr_t advisedBegin_ = 0, advisedEnd_ = 0;
};

}  // namespace zul
