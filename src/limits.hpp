#pragma once

#include <cstdint>
#include <string_view>
#include <sys/resource.h>
#include <system_error>

// The three caps of the command line. -1 asks for no cap (it converts to RLIM_INFINITY).
struct RunLimits {
  std::int64_t cpu_seconds;
  std::int64_t address_space_bytes;
  std::int64_t file_size_bytes;
};

// The baseline run's CPU cap, whatever the measured run's cap is.
inline constexpr std::int64_t BASELINE_CPU_SECONDS = 1;

// glibc's setrlimit takes an enum, not an int.
using Resource = decltype(RLIMIT_CPU);

// Reads a cap: leading white space, an optional sign, then decimal digits; whatever follows
// the digits is ignored. Returns invalid_argument when there are no digits and
// result_out_of_range when the number does not fit in 64 bits; `value` is set only on success.
std::errc parse_limit(std::string_view text, std::int64_t& value);

// Sets soft and hard limit of `resource` to `value` in the calling process. A refusal is
// deliberately ignored: the run goes on without that cap.
void apply_cap(Resource resource, std::int64_t value);
