#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <utility>

// How one run ended and what it used, as the parent saw it.
struct RunResult {
  std::optional<int> status;      // the child's own wait status; none when no child was made
  std::optional<int> handed_over; // the command's wait status, when the child handed it over
  rusage usage;                   // zeroed when no child was made
  bool timed_out;                 // the wall limit ended it
  std::chrono::nanoseconds wall;  // from fork to collection
};

// One report line: key (with its '=') and value.
using StatusLine = std::pair<std::string_view, long long>;
inline constexpr std::size_t STATUS_LINES = 8;

// The eight status lines for wait status `s`, decoded with the Linux encoding whatever
// the command did, in report order.
std::array<StatusLine, STATUS_LINES> decode_status(int s);

// Writes the decoded status of `s`, flushing after each line. Says whether all of it was
// written.
bool write_status_block(std::ostream& out, int s);

// User plus system CPU time of `usage`, in seconds.
double cpu_seconds_of(const rusage& usage);

// Writes the usage lines of both runs and the tool's own figures, flushing after each line.
void write_usage_block(std::ostream& out, const rusage& ru_base, const rusage& ru_meas);

// Writes the elapsed time and peak resident set size of both runs, and whether the wall limit
// ended the measured run.
void write_extended_block(std::ostream& out, const RunResult& base, const RunResult& meas);

// phase1's exit status for its own failure, as distinct from anything the commands did.
inline constexpr int EXIT_PHASE1_FAILED = 125;

// Says on standard error that `what` could not be written, with the reason errno holds, and
// returns EXIT_PHASE1_FAILED.
int cannot_write(std::string_view what);

// Success is claimed only once the text is on standard output: calls `write` with it, then
// flushes it, and returns 0 or cannot_write(what).
template <typename Write> int write_checked(std::string_view what, Write write) {
  errno = 0;
  write(std::cout);
  return std::cout.flush() ? 0 : cannot_write(what);
}

// Where the report goes: standard output, or, with --output, a file that the parent alone
// writes, with the status word that the measured child hands over in a shared page.
struct ReportFile {
  const char* path; // none: standard output
  int fd;
  int* status_word;
};

// Opens `path` for the report and shares the status word, or says why not on standard error.
// A null path is standard output, and needs neither.
std::optional<ReportFile> open_report(const char* path);

// Writes the whole report where it goes, then checks that the measured child wrote or handed
// over its status: 0, or EXIT_PHASE1_FAILED with the reason on standard error.
int write_report(const ReportFile& file, const RunResult& base, const RunResult& meas,
                 bool extended);
