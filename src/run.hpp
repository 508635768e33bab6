#pragma once

#include "containment.hpp"
#include "files.hpp"
#include "handover.hpp"
#include "limits.hpp"
#include "run_result.hpp"
#include "user.hpp"

// What one child does between its birth and its end.
struct Child {
  Caps caps;
  const char* command;
  StatusDuty duty;
  StdFiles files;
  std::optional<RunUser> user; // none: phase1's own
};

// Makes `child` in `container` and collects it, ending its run at `bounds`. A contained run
// is ended whole when its child ends, and ends itself if phase1 dies first. A child that cannot
// be made is reported as system reports it (status -1), but in a cgroup: that is phase1's own
// failure, said on standard error, and no result.
std::optional<RunResult> run_child(const Child& child, Container& container, const Bounds& bounds);
