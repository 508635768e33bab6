#include "report.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <type_traits>
#include <unistd.h>

namespace {

// Each line is formatted in a buffer of its own and handed to the stream in one piece, then
// flushed: the report is written by two processes, and a child that is killed at its
// file-size cap must not take buffered lines with it. to_chars needs no locale and no heap.
template <typename Value> void write_line(std::ostream& out, std::string_view key, Value value) {
  std::array<char, 64> line;                        // the longest key and number take 33
  char* const last = line.data() + line.size() - 1; // room for the newline
  char* p = std::copy(key.begin(), key.end(), line.data());
  if constexpr (std::is_floating_point_v<Value>) {
    // The stream's default format: six significant digits, as %g.
    p = std::to_chars(p, last, value, std::chars_format::general, 6).ptr;
  } else {
    p = std::to_chars(p, last, value).ptr;
  }
  *p++ = '\n';
  out.write(line.data(), p - line.data()).flush();
}

} // namespace

std::array<StatusLine, 8> decode_status(int s) {
  const int termsig = s & 0x7f;
  const int high = (s & 0xff00) >> 8;
  return {{
      {"childstatus=", s},
      {"WIFSIGNALED=", termsig >= 1 && termsig <= 126},
      {"WTERMSIG=", termsig},
      {"WEXITSTATUS=", high},
      {"WIFEXITED=", termsig == 0},
      {"WCOREDUMP=", s & 0x80},
      {"WSTOPSIG=", high},
      {"WIFSTOPPED=", (s & 0xff) == 0x7f},
  }};
}

void write_status_block(std::ostream& out, int s) {
  for (const auto& [key, value] : decode_status(s)) write_line(out, key, value);
}

double cpu_seconds_of(const rusage& usage) {
  // One rounding only: the microseconds are summed, not carried, then joined to the seconds.
  const std::int64_t seconds =
      static_cast<std::int64_t>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec;
  const std::int64_t micros =
      static_cast<std::int64_t>(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec;
  return static_cast<double>(seconds * 1000000 + micros) / 1000000.0;
}

void write_usage_block(std::ostream& out, const rusage& ru_base, const rusage& ru_meas) {
  write_line(out, "basetime=", cpu_seconds_of(ru_base));
  write_line(out, "time=", cpu_seconds_of(ru_meas));
  write_line(out, "basemem=", ru_base.ru_minflt);
  write_line(out, "mem=", ru_meas.ru_minflt);
  write_line(out, "pagesize=", getpagesize());
  write_line(out, "ru_majflt=", ru_meas.ru_majflt);
  write_line(out, "pid=", getpid());
  write_line(out, "ppid=", getppid());
}
