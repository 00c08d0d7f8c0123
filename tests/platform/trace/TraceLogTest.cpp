#include <gtest/gtest.h>

#include "Log.h"
#include "LogCapture.h"
#include "Trace.h"

using testsupport::records;

TEST(TraceLog, LogRecordsCarrySeverityBaseNameAndTextAndSeverityThreeIsAnError) {
    testsupport::expectError("sev3");
    TA_LOG(5, "value=%d name=%s", 42, "abc");
    TA_LOG(3, "sev3");
    TA_LOG(4, "sev4");
    auto rs = records();
    ASSERT_EQ(3u, rs.size());
    EXPECT_EQ(diag::Record::Log, rs[0].kind);
    EXPECT_EQ(5, rs[0].severity);
    EXPECT_EQ("TraceLogTest.cpp", rs[0].file);
    EXPECT_EQ("value=42 name=abc", rs[0].text);
    EXPECT_EQ((std::vector<bool>{false, true, false}),
              (std::vector<bool>{rs[0].isError(), rs[1].isError(), rs[2].isError()}));
}

TEST(TraceLog, TraceSetsRegisterOnceAndErrorTracesAreClassified) {
    short a = -1, b = -1;
    ASSERT_EQ(0, initTraceSet("unitA", 0, 1000, 128, 511, &a));
    ASSERT_EQ(0, initTraceSet("unitA", 0, 1000, 128, 511, &b));
    EXPECT_EQ(a, b);
    EXPECT_TRUE(a > 0 && a != gTraceAfw);
    tracePrintf(a, 32, 256, __FILE__, __LINE__, "ordinary %d", 1);
    testsupport::expectError("broken");
    tracePrintf(255, 128, 0x20000000, __FILE__, __LINE__, "broken %s", "x");
    addTraceEntry(gTraceAfw, 0, 8, 1, "bt", 3, 0, "frame(text)");
    auto rs = records();
    ASSERT_EQ(3u, rs.size());
    EXPECT_FALSE(rs[0].isError());
    EXPECT_TRUE(rs[1].isError());
    EXPECT_EQ("broken x", rs[1].text);
    EXPECT_NE(std::string::npos, rs[2].text.find("bt 3 0 frame(text)"));
}
