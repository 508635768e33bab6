#pragma once

#include "limits.hpp"
#include "report.hpp"

#include <chrono>
#include <optional>

// What one child does between fork and its end.
struct Child {
  Caps caps;
  const char* command;
  bool reports;     // the measured child reports its command's wait status:
  int* status_word; // into this word, shared with the parent, or else as the status block
};

// Sets, once and before the first fork, what SIGINT and SIGQUIT do during a run (they are
// passed on to a contained run and end neither phase1 nor the report) and, when runs are
// contained, what SIGTERM and SIGHUP do (they end the run's group, then phase1) and SIGALRM
// (the wall limit). A signal that phase1's caller ignores stays ignored, but for SIGALRM and
// SIGTERM under containment: SIGTERM also tells a contained child that its parent has gone.
void prepare_signals(bool contained);

// Forks `child` and collects it. With a wall limit the run is contained: the child leads a
// process group of its own, which is killed when the limit expires and whenever the run
// ends, and which kills itself if phase1 dies first.
RunResult run_child(const Child& child, std::optional<std::chrono::nanoseconds> wall_limit);
