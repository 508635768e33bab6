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
} // namespace cgroup_text

// The directory that the runs' cgroups go in.
struct CgroupParent {
  std::string path;
  Fd fd;
  bool leave; // phase1 is alone in it, and must first leave it for a leaf of its own
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

// Moves phase1 into a leaf of its own, if it must, then enables `controllers`.
bool settle_in(const CgroupParent& parent, const std::string& controllers);

// Removes the empty cgroups that phase1s which no longer run left in `parent`.
void remove_stale(const CgroupParent& parent);

enum class Role { baseline, measured };

// Makes the cgroup of the run in `role`, with its memory limit and pids.max.
std::optional<RunCgroup> make_run_cgroup(const CgroupParent& parent, Role role,
                                         std::int64_t memory_bytes,
                                         std::optional<std::int64_t> processes);

// Kills every process of the cgroup whose cgroup.kill is `kill_fd`; async-signal-safe.
void kill_cgroup(int kill_fd);

// The CPU time that the cgroup's processes have used.
std::chrono::microseconds cpu_used(const RunCgroup& cgroup);

// Once its processes are killed: waits for the cgroup to empty, reads its figures, closes its
// descriptors and removes it. A cgroup that does not empty in time gives figures marked
// unsettled, and stays.
TreeFigures drain(RunCgroup cgroup);
