#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <sys/resource.h>
#include <system_error>

// The three caps of the command line, and the optional process cap. -1 asks for no cap (it
// converts to RLIM_INFINITY).
struct RunLimits {
  std::int64_t cpu_seconds;
  std::int64_t address_space_bytes;
  std::int64_t file_size_bytes;
  std::optional<std::int64_t> processes; // none: the inherited limit stands
};

// The baseline run's CPU cap, whatever the measured run's cap is.
inline constexpr std::int64_t BASELINE_CPU_SECONDS = 1;

// The kernel keeps a CPU limit in nanoseconds in 64 bits and does not check the product, so a
// larger number of seconds wraps round to a tiny limit. This is the largest that does not.
inline constexpr std::uint64_t MAX_CPU_SECONDS = UINT64_MAX / 1'000'000'000;

// The longest time that a limit in seconds is held to: a hundred years, which the monotonic
// clock can add to any of its readings without overflowing its 63 bits of nanoseconds.
inline constexpr std::chrono::nanoseconds LONGEST_SECONDS = std::chrono::hours(24 * 365 * 100);

// The most processes that --processes takes: the kernel's pids.max counts phase1's child as well,
// and takes at most 2^22.
inline constexpr std::int64_t MAX_PROCESSES = (std::int64_t{1} << 22) - 1;

// glibc's setrlimit takes an enum, not an int.
using Resource = decltype(RLIMIT_CPU);

// One cap of a run: a resource and the value asked for.
struct Cap {
  Resource resource;
  std::int64_t value;
};

// The caps of one run, in the order they are set: the first `count` of `list`.
struct Caps {
  std::array<Cap, 4> list;
  std::size_t count;
};

// One CPU second and the address-space cap.
Caps baseline_caps(const RunLimits& limits);
// How the measured run's processes are capped, when they are: RLIMIT_NPROC counts every
// process of the user, phase1's own among them when the commands run as phase1's user.
enum class ProcessCap {
  rlimit_of_own_user,   // RLIMIT_NPROC, beside phase1 and its child
  rlimit_of_other_user, // RLIMIT_NPROC, beside phase1's child
  cgroup,               // pids.max of the run's cgroup alone, and no rlimit
};

// CPU time, address space, file size, and processes when a process cap was asked for and
// `processes` says it is an rlimit; phase1's own processes are not counted among them.
Caps measured_caps(const RunLimits& limits, ProcessCap processes);

// Reads a cap: leading white space, an optional sign, then decimal digits; whatever follows
// the digits is ignored. Returns invalid_argument when there are no digits and
// result_out_of_range when the number does not fit in 64 bits; `value` is set only on success.
std::errc parse_limit(std::string_view text, std::int64_t& value);

// Reads a positive number of seconds with an optional decimal fraction ("2", "0.5"), the
// whole text and nothing else, rounded up to whole nanoseconds and held at LONGEST_SECONDS.
// Returns invalid_argument for anything else, zero included, and result_out_of_range beyond
// 2^63 nanoseconds; `value` is set only on success.
std::errc parse_seconds(std::string_view text, std::chrono::nanoseconds& value);

// Reads a number of bytes: a positive decimal integer, optionally followed by one of the
// suffixes K, M, G and T (in either case, powers of 1024), the whole text and nothing else; or
// -1 for no limit. Returns invalid_argument for anything else, zero included, and
// result_out_of_range beyond 2^63 - 1 bytes; `value` is set only on success.
std::errc parse_bytes(std::string_view text, std::int64_t& value);

// Reads a process cap as parse_limit does: -1 for none, or 1 to MAX_PROCESSES. Returns
// invalid_argument for anything else below MAX_PROCESSES, and result_out_of_range above it.
std::errc parse_processes(std::string_view text, std::int64_t& value);

// The limit that setrlimit is given for `value`: the value modulo 2^64, with CPU limits that
// the kernel would wrap held at MAX_CPU_SECONDS.
rlim_t limit_of(Resource resource, std::int64_t value);

// Sets soft and hard limit of `resource` to limit_of(value) in the calling process. A refusal
// is deliberately ignored: the run goes on without that cap.
void apply_cap(Resource resource, std::int64_t value);

// apply_cap for each of `caps`, in order.
void apply_caps(const Caps& caps);
