// Without a fuzzing engine: every seed of a target's corpus runs through it,
// so the corpus guards every build. FUZZ_EXPECTED_ERRORS lists, separated by
// '|', the error records its seeds provoke on purpose ("*": any).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "LogCapture.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size);

TEST(FuzzCorpus, EverySeedRunsWithoutFault) {
    std::istringstream expected(FUZZ_EXPECTED_ERRORS);
    for (std::string fragment; std::getline(expected, fragment, '|');)
        testsupport::expectError(fragment == "*" ? std::string() : fragment);
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(nullptr, nullptr);

    std::vector<std::string> names;
    DIR* dir = opendir(FUZZ_CORPUS_DIR);
    ASSERT_NE(nullptr, dir) << FUZZ_CORPUS_DIR;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 8u);

    for (auto const& name : names) {
        SCOPED_TRACE(name);
        std::ifstream f(std::string(FUZZ_CORPUS_DIR) + "/" + name, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(0, LLVMFuzzerTestOneInput(bytes.data(), bytes.size()));
    }
}
