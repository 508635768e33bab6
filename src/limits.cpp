#include "limits.hpp"

#include <charconv>

namespace {

// The white space of the "C" locale.
bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

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

void apply_cap(Resource resource, std::int64_t value) {
  const auto limit = static_cast<rlim_t>(value);
  const rlimit cap{limit, limit};
  (void)setrlimit(resource, &cap);
}
