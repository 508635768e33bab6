#include "report.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <unistd.h>

namespace {

// The Linux wait-status layout.
constexpr int SIGNAL_BITS = 0x7f; // the terminating signal; all set when stopped
constexpr int CORE_DUMP_BIT = 0x80;
constexpr int LOW_BYTE = 0xff;    // the signal bits, the core-dump bit, or the stopped mark
constexpr int HIGH_BYTE = 0xff00; // the exit status, or the stopping signal
constexpr int HIGH_BYTE_SHIFT = 8;

// Room for the longest key and number (33 bytes) and the newline.
constexpr std::size_t LINE_BYTES = 64;
// The stream's default format for doubles: six significant digits, as %g.
constexpr int SIGNIFICANT_DIGITS = 6;
constexpr std::int64_t MICROS_PER_SECOND = 1'000'000;

// Each line is formatted in a buffer of its own and handed to the stream in one piece, then
// flushed: the report is written by two processes, and a child that is killed at its
// file-size cap must not take buffered lines with it. to_chars needs no locale and no heap.
template <typename Value> void write_line(std::ostream& out, std::string_view key, Value value) {
  std::array<char, LINE_BYTES> line;
  char* const last = line.data() + line.size() - 1; // room for the newline
  char* p = std::copy(key.begin(), key.end(), line.data());
  if constexpr (std::is_floating_point_v<Value>) {
    p = std::to_chars(p, last, value, std::chars_format::general, SIGNIFICANT_DIGITS).ptr;
  } else {
    p = std::to_chars(p, last, value).ptr;
  }
  *p++ = '\n';
  out.write(line.data(), p - line.data()).flush();
}

} // namespace

std::array<StatusLine, STATUS_LINES> decode_status(int s) {
  const int termsig = s & SIGNAL_BITS;
  const int high = (s & HIGH_BYTE) >> HIGH_BYTE_SHIFT;
  return {{
      {"childstatus=", s},
      {"WIFSIGNALED=", termsig != 0 && termsig != SIGNAL_BITS},
      {"WTERMSIG=", termsig},
      {"WEXITSTATUS=", high},
      {"WIFEXITED=", termsig == 0},
      {"WCOREDUMP=", s & CORE_DUMP_BIT},
      {"WSTOPSIG=", high},
      {"WIFSTOPPED=", (s & LOW_BYTE) == SIGNAL_BITS},
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
  return static_cast<double>(seconds * MICROS_PER_SECOND + micros) /
         static_cast<double>(MICROS_PER_SECOND);
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

int cannot_write(const char* what) {
  const int error = errno;
  std::cerr << "phase1: cannot write " << what << (error != 0 ? ": " : "")
            << (error != 0 ? std::strerror(error) : "") << '\n';
  return EXIT_PHASE1_FAILED;
}
