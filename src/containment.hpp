#pragma once

#include "cgroup.hpp"
#include "run_result.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <sys/types.h>

// The limits that end a run.
struct Bounds {
  std::optional<std::chrono::nanoseconds> wall; // elapsed time
  std::optional<std::chrono::nanoseconds> cpu;  // CPU time of all its processes; needs a cgroup
};

// What the command line asks of the runs' cgroups.
struct CgroupRequest {
  bool wanted;                    // the runs have cgroups
  const char* dir;                // where they are made; none: in phase1's own cgroup
  std::int64_t memory_bytes = -1; // memory.max of both runs; -1: no limit
};

// How one run is held together, so that it can be ended whole.
struct Container {
  bool group;                      // the child leads a process group of its own
  std::optional<RunCgroup> cgroup; // the child is born in this cgroup
};

struct Containers {
  Container baseline;
  Container measured;
};

// Makes the containers of both runs before anything runs: a process group each under a wall
// limit, and when asked for, a cgroup each in the parent directory that `request` names or
// that phase1's own cgroup gives, with the memory limit and the measured run's pids.max of
// `processes`. Says why not on standard error.
std::optional<Containers> make_containers(bool group, const CgroupRequest& request,
                                          std::optional<std::int64_t> processes);

// A child as the parent knows it; pid 0 in the child itself, and -1 when none was made.
struct Birth {
  pid_t pid;
  Fd pidfd; // none where the kernel gives none
};

// Makes the child of a run, in its cgroup when it has one.
Birth spawn(const Container& container);

// In the child, first of all: leads its group, and ends its run if phase1 dies.
void enter_in_child(const Container& container);

// Waits for the child to end by itself or for `bounds` to end it, then kills what is left of
// the run while the child is unreaped. `start` is when the run began.
Ending wait_bounded(const Birth& child, const Container& container, const Bounds& bounds,
                    std::chrono::steady_clock::time_point start);

// Once the child is collected: waits for the run's cgroup to empty, reads its figures and
// removes it. Kernels that cannot empty it in time give figures marked unsettled.
std::optional<TreeFigures> end_container(Container& container);
