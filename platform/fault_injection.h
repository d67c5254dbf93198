// Planned failures for tests: the Nth read of a mailbox or the Nth write of an output file can be
// made to fail as a real I/O error would, so that every failure point is shown to end cleanly
// (a clear error, no half-written file). Off unless a test arms it; the check costs one load.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillmark::platform::faults {

// Write counts every step that changes an output file: its writes, and for a PositionalFile also
// the change of size, the sync and the rename into place.
enum class Op { Read, Write };

// Arms the plan: the nth operation of that kind from now on (1 = the next) fails. 0 disarms.
void failNth(Op op, std::int64_t nth) noexcept;
// Called by the file layer before each operation; true when this one must fail.
bool shouldFail(Op op) noexcept;

}  // namespace quillmark::platform::faults
