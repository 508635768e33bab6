#include "report.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
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
constexpr std::int64_t BYTES_PER_KIB = 1024;

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
  write_line(out, "timedout=", static_cast<int>(meas.ending == Ending::wall_limit));
}

void write_tree_block(std::ostream& out, const TreeFigures& base, const RunResult& meas) {
  const TreeFigures tree = meas.tree.value_or(TreeFigures{});
  const auto seconds = [](std::int64_t usec) {
    return static_cast<double>(usec) / static_cast<double>(MICROS_PER_SECOND);
  };
  // KiB, as maxrss=; a peak that is not known stays -1.
  const auto kib = [](std::int64_t bytes) { return bytes < 0 ? bytes : bytes / BYTES_PER_KIB; };
  write_line(out, "basetreetime=", seconds(base.cpu_usec));
  write_line(out, "treetime=", seconds(tree.cpu_usec));
  write_line(out, "basetreepeak=", kib(base.peak_bytes));
  write_line(out, "treepeak=", kib(tree.peak_bytes));
  write_line(out, "oomkilled=", static_cast<int>(tree.oom_kills > 0));
  write_line(out, "cpulimited=", static_cast<int>(meas.ending == Ending::cpu_limit));
}

int cannot_write(std::string_view what) {
  const int error = errno;
  std::cerr << "phase1: cannot write " << what << (error != 0 ? ": " : "")
            << (error != 0 ? std::strerror(error) : "") << '\n';
  return EXIT_PHASE1_FAILED;
}

std::optional<ReportFile> open_report(const char* path, bool hand_over) {
  if (path == nullptr && !hand_over) return ReportFile{nullptr, -1, WriteStatus{}};
  const auto cannot = [](std::string_view what, std::string_view name) {
    std::cerr << "phase1: cannot " << what << name << ": " << std::strerror(errno) << '\n';
    return std::nullopt;
  };
  // Close-on-exec: no command may inherit the report, or write into it.
  const int fd =
      path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (path != nullptr && fd < 0) return cannot("open ", path);
  void* const page = mmap(nullptr, sizeof(SharedStatus), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return cannot("share a page with the measured child", "");
  return ReportFile{path, fd, HandStatus{new (page) SharedStatus{}}};
}

namespace {

// The status block that the parent writes, if any: for a measured run that never started
// (-1, as system() says of it), whose child handed its command's status over, or whose child a
// limit ended (its own SIGKILL).
std::optional<int> status_for_parent(const RunResult& meas, bool hands_over) {
  if (!meas.status) return -1;
  if (!hands_over) return std::nullopt;
  if (meas.handed_over) return meas.handed_over;
  const bool oom_killed = meas.tree && meas.tree->oom_kills > 0 && WIFSIGNALED(*meas.status);
  if (meas.ending != Ending::itself || oom_killed) return meas.status;
  return std::nullopt;
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
  // Without a hand-over the child writes its own block, and ends with 0 once it is whole.
  const bool hands_over = std::holds_alternative<HandStatus>(file.measured_duty);
  const auto word = status_for_parent(meas, hands_over);
  const auto write = [&](std::ostream& out) {
    if (word) write_status_block(out, *word);
    write_usage_block(out, base.usage, meas.usage);
    if (extended) write_extended_block(out, base, meas);
    if (meas.tree) write_tree_block(out, base.tree.value_or(TreeFigures{}), meas);
  };
  const int written =
      file.path == nullptr ? write_checked("the report", write) : write_to_file(file, write);
  if (written != 0) return written;
  for (const auto* run : {&base, &meas}) {
    if (run->tree && !run->tree->settled) {
      std::cerr << "phase1: a run's cgroup still held processes after it was killed\n";
      return EXIT_PHASE1_FAILED;
    }
  }
  if (word || !meas.status || *meas.status == 0) return 0;
  const int s = *meas.status;
  std::cerr << "phase1: no whole status block: the measured child "
            << (WIFSIGNALED(s) ? "was killed by signal " : "exited with status ")
            << (WIFSIGNALED(s) ? WTERMSIG(s) : WEXITSTATUS(s)) << '\n';
  return EXIT_PHASE1_FAILED;
}
