// Without a fuzzing engine: every input of the checked-in corpus runs
// through the fuzz target, so the corpus guards every build.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size);

TEST(TransportFrameCorpus, EveryInputDecodesWithoutFault) {
    DIR* dir = ::opendir(TA_CORPUS_DIR);
    ASSERT_NE(dir, nullptr) << TA_CORPUS_DIR;
    size_t files = 0;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::ifstream in(std::string(TA_CORPUS_DIR) + "/" + name, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(name);
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
        ++files;
    }
    ::closedir(dir);
    EXPECT_GE(files, 8u);
}
