#pragma once

#include "run_result.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
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

// A run's cgroup, made before anything runs, with every descriptor that its run needs open.
struct RunCgroup {
  std::string path;
  int parent;        // the directory it is made in
  int dir;           // the child is born in it
  int kill;          // cgroup.kill, for the parent and for the run's own parent-death handler
  int events;        // cgroup.events, polled for the end of its last process
  int cpu_stat;      // cpu.stat
  int memory_peak;   // memory.peak; -1 where the kernel does not keep it
  int memory_events; // memory.events
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

// Sets, once and before the first fork, an empty signal mask, what SIGINT and SIGQUIT do during a
// run (they are passed on to a run in a group of its own and end neither phase1 nor the report)
// and, when runs are `contained`, what SIGTERM and SIGHUP do (they end the run, then phase1). A
// signal that phase1's caller ignores stays ignored, but for SIGTERM under containment: it is also
// the contained child's parent-death signal.
void prepare_signals(bool contained);

// Once the children are collected: a reader that has gone (SIGPIPE) and phase1's own file-size
// limit (SIGXFSZ) make a write fail, and no longer end phase1. Set only now, as the children
// would inherit them until they exec, and their own status block would then outlive the cap.
void catch_write_signals();

// A child as the parent knows it; pid 0 in the child itself, and -1 when none was made.
struct Birth {
  pid_t pid;
  int pidfd; // -1 where the kernel gives none
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
std::optional<TreeFigures> end_container(const Container& container);
