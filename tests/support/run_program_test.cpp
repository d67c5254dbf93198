// The helper every test runs programs with: a fault here would let those tests pass on output
// they never saw.
#include "support/run_program.h"

#include <gtest/gtest.h>

namespace quillmark::testing {
namespace {

TEST(RunProgram, PassesWordsAsTheyAreAndKeepsStatusAndStreams)
{
    // No shell reads the words: blanks, quotes and $ reach the program untouched.
    const auto words = runProgram({"printf", "[%s]", "a b", "it's", "$HOME", "\"q\""});
    EXPECT_EQ(words.status, 0) << words.errors;
    EXPECT_EQ(words.output, "[a b][it's][$HOME][\"q\"]");

    const std::string script = "printf out; printf err >&2; exit 3";
    const auto apart = runProgram({"sh", "-c", script}, StdErr::Apart);
    EXPECT_EQ(apart.status, 3);
    EXPECT_EQ(apart.output, "out");
    EXPECT_EQ(apart.errors, "err");
    const auto merged = runProgram({"sh", "-c", script});
    EXPECT_EQ(merged.status, 3);
    EXPECT_EQ(merged.output, "outerr");

    // More than a pipe holds on each stream at once: neither may block the other.
    const auto big = runProgram({"sh", "-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"}, StdErr::Apart);
    EXPECT_EQ(big.status, 0);
    EXPECT_EQ(big.output.size(), 300000u);
    EXPECT_EQ(big.errors.size(), 300000u);

    EXPECT_EQ(runProgram({"cat"}).output, "");                        // standard input is empty
    EXPECT_EQ(runProgram({"sh", "-c", "kill -TERM $$"}).status, -1);  // ended by a signal
    const auto missing = runProgram({"no-such-program-here"});
    EXPECT_EQ(missing.status, -1);
    EXPECT_NE(missing.errors.find("no-such-program-here"), std::string::npos) << missing.errors;
    EXPECT_TRUE(haveProgram("sh"));
    EXPECT_FALSE(haveProgram("no-such-program-here"));
    EXPECT_FALSE(haveProgram("/dev/null"));  // not a program
}

}  // namespace
}  // namespace quillmark::testing
