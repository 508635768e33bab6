// Differential fuzzing of the cap parser against strtoll, which reads the same numbers by
// another road. Any disagreement, or a value changed on refusal, aborts the run.
#include "limits.hpp"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The same grammar: C-locale white space, at most one sign, then at least one digit. strtoll
// would take more (a bare sign after spaces, say), so the shape is checked first.
std::errc oracle(const std::string& text, std::int64_t& value) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) ++i;
  const std::size_t number = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size() || std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
    return std::errc::invalid_argument;
  }
  errno = 0;
  const long long read = std::strtoll(text.c_str() + number, nullptr, 10);
  if (errno == ERANGE) return std::errc::result_out_of_range;
  static_assert(sizeof(long long) == sizeof(std::int64_t));
  value = read;
  return std::errc{};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Bytes, not characters: a NUL inside ends the number for both readers.
  const std::string text(reinterpret_cast<const char*>(data), size);
  constexpr std::int64_t UNTOUCHED = 0x5a5a5a5a5a5a5a5a;
  std::int64_t got = UNTOUCHED;
  std::int64_t want = UNTOUCHED;
  const std::errc got_error = parse_limit(text, got);
  const std::errc want_error = oracle(text, want);
  if (got_error != want_error || got != want) {
    (void)std::fprintf(stderr, "parse_limit: error %d value %lld; strtoll: error %d value %lld\n",
                       static_cast<int>(got_error), static_cast<long long>(got),
                       static_cast<int>(want_error), static_cast<long long>(want));
    std::abort();
  }
  return 0;
}
