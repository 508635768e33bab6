#pragma once

#include <array>
#include <cerrno>
#include <iostream>
#include <string_view>
#include <sys/resource.h>
#include <utility>

// One report line: key (with its '=') and value.
using StatusLine = std::pair<std::string_view, long long>;
inline constexpr std::size_t STATUS_LINES = 8;

// The eight status lines for wait status `s`, decoded with the Linux encoding whatever
// the command did, in report order.
std::array<StatusLine, STATUS_LINES> decode_status(int s);

// Writes the decoded status of `s`, flushing after each line.
void write_status_block(std::ostream& out, int s);

// User plus system CPU time of `usage`, in seconds.
double cpu_seconds_of(const rusage& usage);

// Writes the usage lines of both runs and the tool's own figures, flushing after each line.
void write_usage_block(std::ostream& out, const rusage& ru_base, const rusage& ru_meas);

// phase1's exit status for its own failure, as distinct from anything the commands did.
inline constexpr int EXIT_PHASE1_FAILED = 125;

// Says on standard error that `what` could not be written, with the reason errno holds, and
// returns EXIT_PHASE1_FAILED.
int cannot_write(const char* what);

// Success is claimed only once the text is on standard output: calls `write` with it, then
// flushes it, and returns 0 or cannot_write(what).
template <typename Write> int write_checked(const char* what, Write write) {
  errno = 0;
  write(std::cout);
  return std::cout.flush() ? 0 : cannot_write(what);
}
