#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <sys/resource.h>

// What ended a run, when it did not end by itself.
enum class Ending { itself, wall_limit, cpu_limit };

// A run's figures over every process of its cgroup.
struct TreeFigures {
  std::int64_t cpu_usec;   // user plus system
  std::int64_t peak_bytes; // -1 where the kernel does not keep the peak
  std::int64_t oom_kills;  // processes the memory limit killed
  bool settled;            // the cgroup emptied, so the figures are final
};

// How one run ended and what it used, as the parent saw it.
struct RunResult {
  std::optional<int> status;      // the child's own wait status; none when no child was made
  std::optional<int> handed_over; // the command's wait status, when the child handed it over
  rusage usage;                   // zeroed when no child was made
  Ending ending;
  std::chrono::nanoseconds wall;   // from the child's birth to its collection
  std::optional<TreeFigures> tree; // when the run had a cgroup
};

// How the interactor ended, beside the measured run.
struct InteractorResult {
  int status;                          // its wait status; -1 when it could not start
  std::chrono::nanoseconds wall;       // from its birth to its collection
  bool ended_first;                    // it ended before the measured run, or at the same look
  std::optional<int> transcript_error; // the errno that cut the transcript short
};
