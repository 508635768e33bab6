#pragma once

#include "fd.hpp"
#include "run_result.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The text of cgroup files.
namespace cgroup_text {
// The decimal number that `text` starts with.
std::optional<std::int64_t> number(std::string_view text);
// The number after `key` and a space at the start of a line of `text`, such as "usage_usec 5".
std::optional<std::int64_t> field(std::string_view text, std::string_view key);
// Whether `word` stands in `text` between spaces or line ends.
bool has_word(std::string_view text, std::string_view word);
// The number of CPUs in a list such as "0-3,6,8-9"; none if it does not read as one.
std::optional<int> cpu_count(std::string_view list);
} // namespace cgroup_text

// The directory that the runs' cgroups go in.
struct CgroupParent {
  std::string path;
  Fd fd;
  bool leave; // phase1 is alone in it, and must first leave it for a leaf of its own
};

// What phase1 changed in the parent before it made the runs' cgroups, to be undone if a later
// step fails.
struct Settlement {
  std::string stem;    // the names of phase1's cgroups start with it: unique, in any PID namespace
  Fd leaf;             // phase1's own leaf, when it moved there; held locked while phase1 lives
  std::string enabled; // the controllers phase1 enabled, as "+memory +pids"
};

// A run's cgroup, made before anything runs, with every descriptor that its run needs open.
struct RunCgroup {
  std::string path;
  Fd dir;           // the child is born in it
  Fd kill;          // cgroup.kill, for the parent and for the run's own parent-death handler
  Fd events;        // cgroup.events, polled for the end of its last process
  Fd cpu_stat;      // cpu.stat
  Fd memory_peak;   // memory.peak; none where the kernel does not keep it
  Fd memory_events; // memory.events
};

// The parent that `dir` names, or without one phase1's own cgroup where v2 lets phase1 make
// cgroups beside itself. Only reads; says why not on standard error.
std::optional<CgroupParent> find_parent(const char* dir);

// The controllers that the runs' cgroups need, as they are to be enabled in `parent`: memory,
// and pids where the parent has it, or must have it. Only reads.
std::optional<std::string> controllers_for(const CgroupParent& parent, bool pids_needed);

// Moves phase1 into a leaf of its own, if it must, then enables `controllers`; on failure,
// undoes what it did.
std::optional<Settlement> settle_in(const CgroupParent& parent, const std::string& controllers);

// Undoes `settlement`: the controllers, then the move into the leaf.
void unsettle(const CgroupParent& parent, Settlement& settlement);

// Removes the empty cgroups that phase1s which no longer run left in `parent`: those whose lock
// no live phase1 holds.
void remove_stale(const CgroupParent& parent);

enum class Role { baseline, measured };

// Makes the cgroup of the run in `role`, locked, with its memory limit and pids.max (-1: "max"),
// or says why not and leaves nothing.
std::optional<RunCgroup> make_run_cgroup(const CgroupParent& parent, const Settlement& settlement,
                                         Role role, std::int64_t memory_bytes,
                                         std::optional<std::int64_t> pids_max);

// Removes a run's cgroup that no process has entered.
void unmake(RunCgroup cgroup);

// The CPUs that the cgroup's processes can run on: its cpuset's, else all that are online.
int usable_cpus(const RunCgroup& cgroup);

// Kills every process of the cgroup whose cgroup.kill is `kill_fd`; async-signal-safe.
void kill_cgroup(int kill_fd);

// The CPU time that the cgroup's processes have used.
std::chrono::microseconds cpu_used(const RunCgroup& cgroup);

// Once its processes are killed: waits for the cgroup to empty, reads its figures, closes its
// descriptors and removes it. A cgroup that does not empty in time gives figures marked
// unsettled, and stays.
TreeFigures drain(RunCgroup cgroup);
