// Scheduling hints for the program's own threads.
#pragma once

namespace quillmark::platform {

// Lets the calling thread give way to the process's other threads when cores are short: work
// that runs ahead of a single thread which everything waits for (messages imported for the one
// thread that stores them) should not take that thread's core. Best effort: where the system
// refuses, nothing changes.
void yieldToOtherThreads() noexcept;

}  // namespace quillmark::platform
