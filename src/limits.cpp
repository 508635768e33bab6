#include "limits.hpp"

#include <algorithm>
#include <charconv>

namespace {

// The white space of the "C" locale.
bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

} // namespace

Caps baseline_caps(const RunLimits& limits) {
  return {{{{RLIMIT_CPU, BASELINE_CPU_SECONDS}, {RLIMIT_AS, limits.address_space_bytes}}}, 2};
}

Caps measured_caps(const RunLimits& limits, ProcessCap processes) {
  const std::int64_t cap = limits.processes.value_or(-1);
  const std::int64_t own = processes == ProcessCap::rlimit_of_own_user ? 2 : 1;
  return {{{{RLIMIT_CPU, limits.cpu_seconds},
            {RLIMIT_AS, limits.address_space_bytes},
            {RLIMIT_FSIZE, limits.file_size_bytes},
            {RLIMIT_NPROC, cap < 0 ? cap : cap + own}}},
          limits.processes && processes != ProcessCap::cgroup ? 4U : 3U};
}

std::errc parse_limit(std::string_view text, std::int64_t& value) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end && is_space(*p)) ++p;
  // from_chars takes a minus sign but no plus; a plus must not be followed by another sign.
  if (p != end && *p == '+') {
    ++p;
    if (p != end && *p == '-') return std::errc::invalid_argument;
  }
  return std::from_chars(p, end, value).ec; // base 10
}

std::errc parse_seconds(std::string_view text, std::chrono::nanoseconds& value) {
  constexpr std::size_t PLACES = 9; // of the fraction, in nanoseconds
  constexpr std::int64_t NANOS_PER_SECOND = 1'000'000'000;
  constexpr int BASE = 10;
  const std::size_t point = std::min(text.find('.'), text.size());
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = text.substr(std::min(point + 1, text.size()));
  if (whole.empty() && fraction.empty()) return std::errc::invalid_argument;
  if (!std::all_of(whole.begin(), whole.end(), is_digit) ||
      !std::all_of(fraction.begin(), fraction.end(), is_digit)) {
    return std::errc::invalid_argument;
  }
  std::int64_t seconds = 0;
  // Only digits are left, so the one way to fail is a number too large.
  if (!whole.empty() &&
      std::from_chars(whole.data(), whole.data() + whole.size(), seconds).ec != std::errc{}) {
    return std::errc::result_out_of_range;
  }
  std::int64_t nanos = 0;
  for (std::size_t i = 0; i < PLACES; ++i)
    nanos = nanos * BASE + (i < fraction.size() ? fraction[i] - '0' : 0);
  // Less than a nanosecond still counts: a positive text never reads as zero.
  if (fraction.find_first_not_of('0', PLACES) != std::string_view::npos) ++nanos;
  if (seconds > (INT64_MAX - nanos) / NANOS_PER_SECOND) return std::errc::result_out_of_range;
  if (seconds == 0 && nanos == 0) return std::errc::invalid_argument;
  value = std::min(std::chrono::nanoseconds(seconds * NANOS_PER_SECOND + nanos), LONGEST_SECONDS);
  return {};
}

std::errc parse_bytes(std::string_view text, std::int64_t& value) {
  if (text == "-1") {
    value = -1;
    return {};
  }
  constexpr std::string_view SUFFIXES = "KMGT";
  constexpr int BITS_PER_SUFFIX = 10;
  int shift = 0;
  if (!text.empty()) {
    const auto at = SUFFIXES.find(static_cast<char>(text.back() & ~0x20)); // upper case
    if (at != std::string_view::npos) {
      shift = static_cast<int>(at + 1) * BITS_PER_SUFFIX;
      text.remove_suffix(1);
    }
  }
  if (text.empty() || !std::all_of(text.begin(), text.end(), is_digit)) {
    return std::errc::invalid_argument;
  }
  std::int64_t number = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), number).ec != std::errc{}) {
    return std::errc::result_out_of_range;
  }
  if (number == 0) return std::errc::invalid_argument;
  if (number > (INT64_MAX >> shift)) return std::errc::result_out_of_range;
  value = number << shift;
  return {};
}

std::errc parse_processes(std::string_view text, std::int64_t& value) {
  std::int64_t cap = 0;
  const std::errc error = parse_limit(text, cap);
  if (error != std::errc{}) return error;
  if (cap > MAX_PROCESSES) return std::errc::result_out_of_range;
  if (cap == 0 || cap < -1) return std::errc::invalid_argument;
  value = cap;
  return {};
}

rlim_t limit_of(Resource resource, std::int64_t value) {
  const auto limit = static_cast<rlim_t>(value);
  if (resource == RLIMIT_CPU && limit != RLIM_INFINITY && limit > MAX_CPU_SECONDS) {
    return MAX_CPU_SECONDS;
  }
  return limit;
}

void apply_cap(Resource resource, std::int64_t value) {
  const rlim_t limit = limit_of(resource, value);
  const rlimit cap{limit, limit};
  (void)setrlimit(resource, &cap);
}

void apply_caps(const Caps& caps) {
  for (std::size_t i = 0; i < caps.count; ++i) apply_cap(caps.list[i].resource, caps.list[i].value);
}
