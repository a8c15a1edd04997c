// Entry points of the fuzz targets. Each takes one input of arbitrary bytes, feeds it to one
// parser of data from outside (the network or a file) and returns normally; a fault shows as a
// sanitizer report, an uncaught exception, or a broken invariant (which aborts with a message).
//
// The same functions run under libFuzzer (fuzz/fuzz_main.cpp, built with clang) and in the
// regression test of the protocol tests, which feeds them every saved input of
// fuzz/regressions/<target>/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zul::fuzz {

using EntryFunction = void (*)(const uint8_t* data, size_t size);

struct Target {
    std::string_view name;
    EntryFunction run;
    // The largest input worth trying (libFuzzer's -max_len).
    size_t maxLength;
    // The target keeps a session or profile between inputs, so memory held after an input is
    // not a leak; leaks show when the run ends and the fixture is gone.
    bool keepsState;
};

// Every target, in the order fuzz.sh runs them.
const std::vector<Target>& AllTargets();
const Target* FindTarget(std::string_view name);

// Throws away the shared session and profile the targets work on, and undoes every setting
// they changed (folders, sleep function, database). The next input starts a fresh one.
void DiscardFixture();

}  // namespace zul::fuzz
