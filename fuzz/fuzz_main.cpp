// The libFuzzer driver of one target; the build names the target in ZUL_FUZZ_TARGET.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/targets.h"

namespace {

const zul::fuzz::Target& ThisTarget() {
    static const zul::fuzz::Target* target = zul::fuzz::FindTarget(ZUL_FUZZ_TARGET);
    if (!target) {
        std::fprintf(stderr, "unknown fuzz target %s\n", ZUL_FUZZ_TARGET);
        std::abort();
    }
    return *target;
}

}  // namespace

// Gives the run the target's own largest input and leak checking unless the command line
// names them.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    static std::string maxLen;
    static char noLeakChecks[] = "-detect_leaks=0";
    bool lengthGiven = false, leaksGiven = false;
    for (int i = 0; i < *argc; ++i) {
        args.push_back((*argv)[i]);
        if (std::strncmp((*argv)[i], "-max_len=", 9) == 0) lengthGiven = true;
        if (std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0) leaksGiven = true;
    }
    if (!lengthGiven) {
        maxLen = "-max_len=" + std::to_string(ThisTarget().maxLength);
        args.push_back(maxLen.data());
    }
    // What a target keeps between inputs would look like a leak after every input; the check
    // at the end of the run, after the fixture is gone, still finds real leaks.
    if (!leaksGiven && ThisTarget().keepsState) args.push_back(noLeakChecks);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ThisTarget().run(data, size);
    return 0;
}
