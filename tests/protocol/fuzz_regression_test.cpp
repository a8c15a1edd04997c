// Every input the fuzzers ever found a fault with (fuzz/regressions/<target>/) and every seed
// input (fuzz/corpus/<target>/) runs through the same entry function as under the fuzzer, so
// a fault once fixed stays fixed in every ordinary build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/targets.h"

namespace zul::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> TargetNames() {
    std::vector<std::string> names;
    for (const Target& t : AllTargets()) names.emplace_back(t.name);
    return names;
}

class FuzzInputs : public ::testing::TestWithParam<std::string> {
  protected:
    void TearDown() override { DiscardFixture(); }

    void RunAll(const fs::path& folder, bool freshEach) {
        const Target* target = FindTarget(GetParam());
        ASSERT_NE(target, nullptr);
        for (const fs::path& file : FilesIn(folder)) {
            SCOPED_TRACE(file.string());
            if (freshEach) DiscardFixture();
            const std::vector<uint8_t> bytes = ReadAll(file);
            target->run(bytes.data(), std::min(bytes.size(), target->maxLength));
        }
    }
};

// A saved finding starts from a fresh session and profile, as it did when it was found.
TEST_P(FuzzInputs, SavedFindingsRunClean) {
    RunAll(fs::path(ZUL_FUZZ_DIR) / "regressions" / GetParam(), true);
}

TEST_P(FuzzInputs, SeedInputsRunClean) {
    RunAll(fs::path(ZUL_FUZZ_DIR) / "corpus" / GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs, ::testing::ValuesIn(TargetNames()),
                         [](const auto& info) { return info.param; });

// A folder of inputs whose name is no target would never run.
TEST(FuzzInputFolders, NameKnownTargets) {
    for (const char* kind : {"regressions", "corpus"}) {
        std::error_code ec;
        const fs::path root = fs::path(ZUL_FUZZ_DIR) / kind;
        if (!fs::is_directory(root, ec)) continue;
        for (const auto& entry : fs::directory_iterator(root)) {
            if (!entry.is_directory()) continue;
            const std::string name = entry.path().filename().string();
#if !ZUL_FUZZ_LANGUAGE
            if (name == "language_module") continue;  // built only where Qt is at hand
#endif
            EXPECT_NE(FindTarget(name), nullptr) << entry.path();
        }
    }
}

}  // namespace
}  // namespace zul::fuzz
