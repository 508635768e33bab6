#include "report.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
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

bool write_status_block(std::ostream& out, int s) {
  for (const auto& [key, value] : decode_status(s)) write_line(out, key, value);
  return static_cast<bool>(out);
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

void write_extended_block(std::ostream& out, const RunResult& base, const RunResult& meas) {
  using Seconds = std::chrono::duration<double>;
  write_line(out, "basewall=", Seconds(base.wall).count());
  write_line(out, "wall=", Seconds(meas.wall).count());
  write_line(out, "basemaxrss=", base.usage.ru_maxrss);
  write_line(out, "maxrss=", meas.usage.ru_maxrss);
  write_line(out, "timedout=", static_cast<int>(meas.timed_out));
}

int cannot_write(std::string_view what) {
  const int error = errno;
  std::cerr << "phase1: cannot write " << what << (error != 0 ? ": " : "")
            << (error != 0 ? std::strerror(error) : "") << '\n';
  return EXIT_PHASE1_FAILED;
}

std::optional<ReportFile> open_report(const char* path) {
  if (path == nullptr) return ReportFile{nullptr, -1, nullptr};
  const auto cannot = [](std::string_view what, std::string_view name) {
    std::cerr << "phase1: cannot " << what << name << ": " << std::strerror(errno) << '\n';
    return std::nullopt;
  };
  // Close-on-exec: no command may inherit the report, or write into it.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return cannot("open ", path);
  void* const page =
      mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return cannot("share a page with the measured child", "");
  return ReportFile{path, fd, static_cast<int*>(page)};
}

namespace {

// The status block that the parent writes, if any: for a measured run that never started
// (-1, as system() says of it), that the wall limit ended (its child's own SIGKILL), or whose
// child handed its command's status over.
std::optional<int> status_for_parent(const RunResult& meas) {
  if (!meas.status) return -1;
  if (meas.timed_out) return meas.status;
  return meas.handed_over;
}

// The report is formatted whole, then written in one piece: nothing else writes to the file.
int write_to_file(const ReportFile& file, const auto& write) {
  std::ostringstream text;
  write(text);
  const std::string what = std::string("the report to ") + file.path;
  errno = 0;
  for (std::string_view left = text.view(); !left.empty();) {
    const ssize_t n = ::write(file.fd, left.data(), left.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return cannot_write(what);
    left.remove_prefix(static_cast<std::size_t>(n));
  }
  return close(file.fd) == 0 ? 0 : cannot_write(what);
}

} // namespace

int write_report(const ReportFile& file, const RunResult& base, const RunResult& meas,
                 bool extended) {
  const auto write = [&](std::ostream& out) {
    if (const auto word = status_for_parent(meas)) write_status_block(out, *word);
    write_usage_block(out, base.usage, meas.usage);
    if (extended) write_extended_block(out, base, meas);
  };
  const int written =
      file.path == nullptr ? write_checked("the report", write) : write_to_file(file, write);
  if (written != 0) return written;
  // The measured child ends with 0 only once its whole status is written or handed over.
  if (!meas.status || meas.timed_out || *meas.status == 0) return 0;
  const int s = *meas.status;
  std::cerr << "phase1: no whole status block: the measured child "
            << (WIFSIGNALED(s) ? "was killed by signal " : "exited with status ")
            << (WIFSIGNALED(s) ? WTERMSIG(s) : WEXITSTATUS(s)) << '\n';
  return EXIT_PHASE1_FAILED;
}
