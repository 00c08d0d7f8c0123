// Replays every file of the seed corpus through the fuzz target.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "LogCapture.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size);

TEST(FuzzStreamCorpus, EverySeedDecodesAndReencodes) {
    // The seeds include short reads and broken headers on purpose.
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    testsupport::expectError("out of range");
    LLVMFuzzerInitialize(nullptr, nullptr);

    std::vector<std::string> names;
    DIR* dir = opendir(FUZZ_CORPUS_DIR);
    ASSERT_NE(nullptr, dir) << FUZZ_CORPUS_DIR;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 10u);

    for (auto const& name : names) {
        SCOPED_TRACE(name);
        std::ifstream f(std::string(FUZZ_CORPUS_DIR) + "/" + name, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(0, LLVMFuzzerTestOneInput(bytes.data(), bytes.size()));
    }
}
