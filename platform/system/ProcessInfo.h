// Who is running: process identifiers and start times.
//
// A process identifier alone does not name a process for long: once the
// process has ended, the kernel hands the same number to a later one. Code
// that remembers processes across time (a list of running copies in shared
// memory, say) keeps the start time beside the identifier and compares both.
//
// Everything here is thread-safe and reports "no such process" as an empty
// result, never as an error.
#pragma once

#include <cstdint>
#include <optional>

namespace tarvo::platform {

// The identifier of the calling process.
std::uint32_t CurrentProcessId() noexcept;

// When the process started, in the kernel's clock ticks since boot: fixed for
// the life of the process, and different for a later process that got the same
// identifier. Empty when no process with that identifier is running, which
// includes identifier 0 and a process that has ended but was not yet reaped
// by its parent (a zombie has ended; only its exit code is left).
std::optional<std::uint64_t> ProcessStartTime(std::uint32_t pid);

}  // namespace tarvo::platform
