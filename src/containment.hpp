#pragma once

#include "cgroup.hpp"
#include "fd.hpp"
#include "run_result.hpp"
#include "sandbox.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <poll.h>
#include <span>
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

// How a run's processes are grouped, so that they can be signalled together.
enum class Grouping {
  none,    // in phase1's own group and session
  group,   // a process group of their own, in phase1's session: a wall limit
  session, // a session of their own, with no controlling terminal: another user's run
};

// What the runs' containers are to be.
struct ContainerRequest {
  Grouping grouping;
  CgroupRequest cgroups;
  std::optional<std::int64_t> processes; // the measured run's, phase1's child not counted
  bool sandboxed;                        // each run has a sandbox of its own
};

// The sandbox that a run is born in, when it has one; it outlives the runs.
using SandboxRef = std::optional<std::reference_wrapper<const Sandbox>>;

// How one run is held together, so that it can be ended whole.
struct Container {
  Grouping grouping;
  int terminal;                    // the terminal whose foreground the run's group takes, or -1
  std::optional<RunCgroup> cgroup; // the child is born in this cgroup
  SandboxRef sandbox;              // and in these namespaces
};

// Both runs' containers, and what was changed to make them.
struct Containers {
  Fd terminal; // phase1's controlling terminal, when phase1 is its foreground group
  std::optional<CgroupParent> parent;
  std::optional<Settlement> settlement;
  Container baseline;
  Container measured;
};

// Whether the runs are contained at all, so that signals to phase1 must end them.
bool contained(const ContainerRequest& request);

// Makes the containers of both runs before anything runs: their grouping, and when asked for,
// a cgroup each in the parent directory that the request names or that phase1's own cgroup
// gives, with the memory limit and the measured run's pids.max. Everything that can be checked
// is checked before anything is changed. Says why not on standard error, having undone what
// it did.
std::optional<Containers> make_containers(const ContainerRequest& request, SandboxRef sandbox);

// Undoes what make_containers did, for runs that will not run, and returns EXIT_PHASE1_FAILED.
int abandon(std::optional<Containers>& containers);

// A child as the parent knows it; pid 0 in the child itself, and -1 when none was made.
struct Birth {
  pid_t pid;
  Fd pidfd;  // none where the kernel gives none
  int error; // why no child was made
};

// Makes the child of a run, in its cgroup when it has one.
Birth spawn(const Container& container);

// In the child, first of all: leads its group or session, and ends its run if phase1 dies.
void enter_in_child(const Container& container);

// Kills `leader` and its process group: the leader first, so that it makes no group or session
// after the group is killed.
void kill_group(pid_t leader);

// Where the kernel gives no pidfd, how often a child is looked at.
inline constexpr std::chrono::milliseconds CHILD_LOOK_GAP{10};

// ppoll on `fds` for up to `timeout`, forever if none: the number of descriptors ready, or -1.
int poll_for(std::span<pollfd> fds, std::optional<std::chrono::nanoseconds> timeout);

// The waiter of a run that needs nothing else: waits up to `timeout` (forever if none) for the
// child to end; says whether it has.
bool child_ended(const Birth& child, std::optional<std::chrono::nanoseconds> timeout);

// How a run is waited for.
struct Waiter {
  // Waits as child_ended does, doing meanwhile whatever else the run needs.
  std::function<bool(const Birth& child, std::optional<std::chrono::nanoseconds> timeout)> wait =
      child_ended;
  // Ends, once the wall limit is reached, what must end before the run does; none: nothing.
  std::function<void()> at_wall_limit{};
};

// Waits, with `waiter`, for the child to end by itself or for `bounds` to end it, then kills
// what is left of the run while the child is unreaped. `start` is when the run began.
Ending wait_bounded(const Birth& child, const Container& container, const Bounds& bounds,
                    std::chrono::steady_clock::time_point start, const Waiter& waiter);

// Once the child is collected: waits for the run's cgroup to empty, reads its figures and
// removes it. Kernels that cannot empty it in time give figures marked unsettled.
std::optional<TreeFigures> end_container(Container& container);
