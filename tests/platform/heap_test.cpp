#include "platform/heap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zul {
namespace {

// The VmFlags line of the mapping that holds `address`, from /proc/self/smaps.
std::string FlagsOfMappingAt(uintptr_t address) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long from = 0, to = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> from >> dash >> to && dash == '-') {
            inside = address >= from && address < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return {};
}

// The sanitizers' allocators never grow the heap, and a kernel without transparent huge pages
// takes no advice: both leave nothing to check.
TEST(BulkLoadHeap, TheNextAllocationsLandOnAStretchAdvisedForHugePages) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not use the heap";
#endif
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"))
        GTEST_SKIP() << "no transparent huge pages";
    std::vector<void*> blocks;
    {
        const CBulkLoadHeap heap(size_t{16} << 20);
        ASSERT_LT(heap.AdvisedBegin(), heap.AdvisedEnd());
        EXPECT_EQ(heap.AdvisedBegin() % (2 << 20), 0u);
        EXPECT_EQ(heap.AdvisedEnd() % (2 << 20), 0u);
        EXPECT_GE(heap.AdvisedEnd() - heap.AdvisedBegin(), size_t{12} << 20);
        EXPECT_NE(FlagsOfMappingAt(heap.AdvisedBegin()).find(" hg"), std::string::npos)
            << FlagsOfMappingAt(heap.AdvisedBegin());
        // What a load takes next comes from that stretch (the top of the heap).
        size_t inside = 0;
        for (int i = 0; i < 8192; ++i) {
            blocks.push_back(std::malloc(1024));
            const auto at = reinterpret_cast<uintptr_t>(blocks.back());
            if (at >= heap.AdvisedBegin() && at < heap.AdvisedEnd()) ++inside;
        }
        EXPECT_GT(inside, blocks.size() / 2);
    }
    for (void* block : blocks) std::free(block);
}

}  // namespace
}  // namespace zul
