// Runs another program from a test and keeps what it said: quillmark-cli, and the readers and
// scripts the tests use as oracles (pffexport, readpst, python3, node).
//
// The words of the command go to the program as they are, without a shell in between, so paths
// with blanks or quotes need no quoting. The program reads an empty standard input.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmark::testing {

enum class StdErr {
    Merged,  // into output, in the order the program wrote it
    Apart,   // into errors, so that output holds only what the program printed as its result
};

struct ProgramRun {
    int status = -1;     // the exit code; -1 when the program did not start or a signal ended it
    std::string output;  // standard output (with standard error when merged)
    std::string errors;  // standard error when kept apart; why the program did not start
};

// command[0] is looked up in PATH unless it holds a '/'.
ProgramRun runProgram(const std::vector<std::string>& command, StdErr stderrTo = StdErr::Merged);

// Whether runProgram() would find the program: a name is looked up in PATH, a path is checked.
bool haveProgram(std::string_view name);

}  // namespace quillmark::testing
