#pragma once

#include "containment.hpp"
#include "files.hpp"
#include "handover.hpp"
#include "limits.hpp"
#include "run_result.hpp"
#include "user.hpp"

#include <chrono>
#include <optional>

// What one child does between its birth and its end.
struct Child {
  Caps caps;
  const char* command;
  StatusDuty duty;
  StdFiles files;
  std::optional<RunUser> user; // none: phase1's own
};

// Makes `child` in `container` and collects it, ending its run at `bounds`; a contained run is
// waited for with `waiter`. A contained run is ended whole when its child ends, and ends itself
// if phase1 dies first. A child that cannot be made is reported as system reports it (status
// -1), but in a cgroup: that is phase1's own failure, said on standard error, and no result.
std::optional<RunResult> run_child(const Child& child, Container& container, const Bounds& bounds,
                                   const Waiter& waiter = {});

// A child that runs beside the measured run, in a process group of its own, until it ends or
// phase1 ends it: the interactor.
struct Beside {
  Birth birth;
  std::chrono::steady_clock::time_point start;
  std::optional<int> own_status;   // its child's own wait status, once collected
  std::chrono::nanoseconds wall{}; // from its birth to its collection
};

// Makes `child` in `container`, a group of its own; `container` holds no cgroup and no sandbox.
Beside start_beside(const Child& child, const Container& container);

// Collects `beside` if it has ended; says whether it is collected.
bool collect_beside(Beside& beside);

// Ends what is left of `beside`, its whole group, and collects it.
void end_beside(Beside& beside);

// Stops `beside`'s whole group where it is, until end_beside: it runs nothing more, and so sees
// nothing else end.
void stop_beside(const Beside& beside);
