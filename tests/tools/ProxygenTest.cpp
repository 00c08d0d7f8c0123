// The interface generator refuses a malformed table, naming the table, the
// line and the rule, before anything is written: a table for each rule that
// guards the wire (the plainly malformed ones fail the build anyway).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

#include "ChildProcess.h"

using namespace std::chrono_literals;

TEST(Proxygen, AMalformedTableFailsNamingTheLineAndTheRule) {
    struct Bad {
        char const* text;
        char const* message;
    } const bad[] = {
        {"interface A 0x1\n  op f(in short) -> bool\n", "t.table:2: error: expected a type and a name"},
        {"interface A 0x1\n  op f() -> nothing\n", "t.table:2: error: unknown type \"nothing\""},
        {"interface A zz\n", "t.table:1: error: bad class code \"zz\""},
        {"interface A 0\n", "t.table:1: error: class code 0 is the object-level operations'"},
        {"interface A 0x1\ninterface B 0x01\n", "t.table:2: error: class code 0x01 is already A's ("},
        {"interface A 0x1\n  op f()\n  op f()\n", "t.table:3: error: operation f is already declared in A on line 2"},
        {"interface A 0x1\n  op f()\ninterface B 0x2 base A\n  op f()\n", "t.table:4: error: operation f hides the one of A ("},
        {"record R { long a; }\nrecord R { long b; }\n", "t.table:2: error: record R is already declared on "},
        {"interface A 0x1 first one\n", "t.table:1: error: bad first method code \"one\""},
        {"interface A 0x1 first 2099\n  op f()\n  op g()\n", "t.table:3: error: method code 2100 is the object-level"},
        {"interface A 0x1\n  op f(in long in)\n", "t.table:2: error: argument name \"in\" is taken by the generated code"},
        {"interface A 0x1\n  const long K = 0x80000000\n", "t.table:2: error: constant K = 0x80000000 is not a 32-bit"},
        {"interface A 0x1\n  op getParent()\n", "t.table:2: error: operation getParent clashes with TreflectObject::"},
        {"interface A 0x1\n  op f(in R r)\n  record R { long a; }\n", "t.table:2: error: record R is used before it is"},
        {"interface A 0x1\n  op f(in array<long,4x> a)\n", "t.table:2: error: an array holds 1 to 255 elements"},
    };
    std::string const dir = ::testing::TempDir();
    for (Bad const& b : bad) {
        SCOPED_TRACE(b.text);
        std::ofstream(dir + "t.table") << b.text;
        testsupport::ChildProcess gen(testsupport::builtExecutable("proxygen"), {dir, dir + "t.table"}, {});
        int status = 0;
        ASSERT_TRUE(gen.waitForExit(10s, &status));
        EXPECT_EQ(1, WEXITSTATUS(status));
        EXPECT_EQ(1u, gen.countOutput(b.message)) << gen.output();
        EXPECT_EQ(1u, gen.countOutput(": error: ")) << gen.output();
        EXPECT_FALSE(std::ifstream(dir + "AClient.h").good());
    }
}
