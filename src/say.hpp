#pragma once

#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>

// phase1's exit status for its own failure, as distinct from anything the commands did.
inline constexpr int EXIT_PHASE1_FAILED = 125;

// An errno value, captured where the call that set it failed, and written as its text.
struct Errno {
  int value;
};
inline Errno last_error() {
  return {errno};
}
inline std::ostream& operator<<(std::ostream& out, Errno error) {
  return out << std::strerror(error.value);
}

// The one way phase1 says why it will not go on: one line on standard error, "phase1: " first.
// It returns no value, for the functions that return an optional one.
template <typename... Words> std::nullopt_t say(const Words&... words) {
  ((std::cerr << "phase1: ") << ... << words) << '\n';
  return std::nullopt;
}

// The same, for main's callees: returns phase1's own exit status.
template <typename... Words> int fail(const Words&... words) {
  say(words...);
  return EXIT_PHASE1_FAILED;
}
