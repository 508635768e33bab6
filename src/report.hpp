#pragma once

#include "fd.hpp"
#include "files.hpp"
#include "handover.hpp"
#include "run_result.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <utility>

// Writes all of `text` to `fd`, from `offset` on where one is given; says whether it did, with
// errno set where a call failed. A command may have made a descriptor that it shares with phase1
// non-blocking: then the write waits until it can go on.
bool write_all(int fd, std::string_view text, std::optional<off_t> offset = std::nullopt);

// One report line: key (with its '=') and value.
using StatusLine = std::pair<std::string_view, long long>;
inline constexpr std::size_t STATUS_LINES = 8;

// The eight status lines for wait status `s`, decoded with the Linux encoding whatever
// the command did, in report order.
std::array<StatusLine, STATUS_LINES> decode_status(int s);

// Writes the decoded status of `s`.
void write_status_block(std::ostream& out, int s);

// Writes the decoded status of `s` to standard output in one piece, as the measured child does;
// says whether all of it was written.
bool write_own_status_block(int s);

// User plus system CPU time of `usage`, in seconds.
double cpu_seconds_of(const rusage& usage);

// Writes the usage lines of both runs and the tool's own figures.
void write_usage_block(std::ostream& out, const rusage& ru_base, const rusage& ru_meas);

// What ended the measured run, as ended= says it.
enum class Ended {
  exit,          // the command exited by itself
  signal,        // a signal that nothing below explains
  cpu_cap,       // the positional CPU cap
  file_size_cap, // the positional file-size cap
  wall_limit,    // --wall-limit
  cpu_limit,     // --cpu-limit
  memory_limit,  // the memory limit killed a process of the run
  none,          // no child could be made
};

// The word that ended= gives for `ended`.
std::string_view word_of(Ended ended);

// What phase1 knows of the measured run beside its result, and of the interactor beside it.
struct MeasuredSetting {
  std::int64_t cpu_cap_seconds;               // the positional CPU cap, as given
  OutputSizes sizes;                          // of its files, once it has ended
  std::optional<InteractorResult> interactor; // none without --interactor
};

// What ended the measured run whose reported wait status is `status`, from what the parent saw
// alone: the limit that ended it, its cgroup's OOM kills, the signal its program died of (by
// itself, or as the shell's exit status of 128 plus the signal), and its CPU time against the
// cap. A limit that ended the run wins over the program's own death.
Ended ended_of(const RunResult& meas, int status, const MeasuredSetting& setting);

// Writes the elapsed time and peak resident set size of both runs, whether the wall limit ended
// the measured run, the baseline's status, what ended the measured run and what it wrote.
void write_extended_block(std::ostream& out, const RunResult& base, const RunResult& meas,
                          Ended ended, OutputSizes sizes);

// Writes the figures of both runs' cgroups, and whether the memory limit or the CPU limit
// ended the measured run.
void write_tree_block(std::ostream& out, const TreeFigures& base, const RunResult& meas);

// Writes how the interactor ended, and which of it and the measured run ended first.
void write_interactor_block(std::ostream& out, const InteractorResult& interactor);

// Says on standard error that `what` could not be written, with the reason errno holds if it
// holds one, and returns EXIT_PHASE1_FAILED.
int cannot_write(std::string_view what);

// Success is claimed only once the text is on standard output: calls `write` with it, then
// flushes it, and returns 0 or cannot_write(what).
template <typename Write> int write_checked(std::string_view what, Write write) {
  errno = 0;
  write(std::cout);
  return std::cout.flush() ? 0 : cannot_write(what);
}

// How the report is written: key=value lines, or one JSON object with the same keys.
enum class Format { keyvalue, json };

// Where the report goes: standard output, or, with --output, a file that the parent alone
// writes.
struct ReportFile {
  const char* path; // none: standard output
  Fd file;          // the file; none for standard output
};

// What the report shows.
struct ReportShape {
  bool extended;
  Format format;
};

// Writes the whole report where it goes, with the status block that `measured_duty` leaves to
// the parent, then checks that the measured child wrote or handed over its status: 0, or
// EXIT_PHASE1_FAILED with the reason on standard error.
int write_report(ReportFile& report, const RunResult& base, const RunResult& meas,
                 const StatusDuty& measured_duty, ReportShape shape,
                 const MeasuredSetting& setting);

// The key=value lines of `text` as one JSON object on one line: a value that is a word (it
// starts with a letter) is a JSON string, and every other value a number as it stands.
std::string to_json(std::string_view text);
