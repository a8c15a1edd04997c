// Sorting names with the program's one case-insensitive comparison, as the list download's
// reconciliation and the contact list do.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "platform/text.h"
#include "support/bench_profile.h"

namespace zul::bench {
namespace {

std::vector<std::u16string> Names(int count, bool nicknames) {
    std::vector<std::u16string> names;
    names.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        names.push_back(nicknames ? FromUtf8(ContactNickname(i % 5, i))
                                  : Widen(ContactLogin(i % 5, i)));
    }
    std::mt19937 random(7);
    std::shuffle(names.begin(), names.end(), random);
    return names;
}

void BM_SortNamesNoCase(benchmark::State& state) {
    const std::vector<std::u16string> names = Names(static_cast<int>(state.range(0)), true);
    for (auto _ : state) {
        std::vector<std::u16string> copy = names;
        std::sort(copy.begin(), copy.end(), [](const std::u16string& a, const std::u16string& b) {
            return CompareNoCase(a, b) < 0;
        });
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_SortNamesNoCase)->Arg(5000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Cyrillic names fold through the locale, not the ASCII shortcut.
void BM_CompareNoCaseCyrillic(benchmark::State& state) {
    const std::u16string a = u"Александра Петровна Иванова";
    const std::u16string b = u"АЛЕКСАНДРА ПЕТРОВНА ИВАНОВа";
    for (auto _ : state) benchmark::DoNotOptimize(CompareNoCase(a, b));
}
BENCHMARK(BM_CompareNoCaseCyrillic);

}  // namespace
}  // namespace zul::bench
