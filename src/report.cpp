#include "report.hpp"

#include "files.hpp"
#include "say.hpp"
#include "signals.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
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

// Formats one line at `p`, which has room for LINE_BYTES, and returns its end. to_chars needs
// no locale and no heap.
template <typename Value> char* format_line(char* p, std::string_view key, Value value) {
  char* const last = p + LINE_BYTES - 1; // room for the newline
  p = std::copy(key.begin(), key.end(), p);
  if constexpr (std::is_floating_point_v<Value>) {
    p = std::to_chars(p, last, value, std::chars_format::general, SIGNIFICANT_DIGITS).ptr;
  } else {
    p = std::to_chars(p, last, value).ptr;
  }
  *p++ = '\n';
  return p;
}

template <typename Value> void write_line(std::ostream& out, std::string_view key, Value value) {
  std::array<char, LINE_BYTES> line{};
  out.write(line.data(), format_line(line.data(), key, value) - line.data());
}

} // namespace

bool write_all(int fd, std::string_view text, std::optional<off_t> offset) {
  while (!text.empty()) {
    const ssize_t n = offset ? pwrite(fd, text.data(), text.size(), *offset)
                             : write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable{fd, POLLOUT, 0};
      (void)poll(&writable, 1, -1);
      continue;
    }
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
    if (offset) *offset += n;
  }
  return true;
}

namespace {

// Writes all of `text` to standard output `fd`. A regular file is written at its end as it is
// now: a command that moved the shared offset back cannot put its own lines after the report.
bool write_at_end(int fd, std::string_view text) {
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) (void)lseek(fd, 0, SEEK_END);
  return write_all(fd, text);
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

bool write_own_status_block(int s) {
  std::array<char, STATUS_LINES * LINE_BYTES> block{};
  char* p = block.data();
  for (const auto& [key, value] : decode_status(s)) p = format_line(p, key, value);
  return write_at_end(STDOUT_FILENO, {block.data(), static_cast<std::size_t>(p - block.data())});
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

std::string_view word_of(Ended ended) {
  constexpr std::array<std::string_view, 8> WORDS{"exit",          "signal",     "cpu-cap",
                                                  "file-size-cap", "wall-limit", "cpu-limit",
                                                  "memory-limit",  "none"};
  return WORDS.at(static_cast<std::size_t>(ended));
}

namespace {

// The last signal there is, whose death a shell reports as SHELL_SIGNAL_BASE + LAST_SIGNAL.
constexpr int LAST_SIGNAL = 64;
// The kernel checks the CPU cap against a clock that it samples at each tick, which the precise
// figure of wait4 trails: a SIGKILL at this share of the cap or more is the cap's.
constexpr double CPU_CAP_SHARE = 0.75;

// The signal that the program of wait status `status` died of, by itself or as its shell says;
// 0 for none.
int died_of(int status) {
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  return code > SHELL_SIGNAL_BASE && code <= SHELL_SIGNAL_BASE + LAST_SIGNAL
             ? code - SHELL_SIGNAL_BASE
             : 0;
}

} // namespace

Ended ended_of(const RunResult& meas, int status, const MeasuredSetting& setting) {
  const std::int64_t cpu_cap_seconds = setting.cpu_cap_seconds;
  if (meas.ending == Ending::wall_limit) return Ended::wall_limit;
  if (meas.ending == Ending::cpu_limit) return Ended::cpu_limit;
  if (meas.tree && meas.tree->oom_kills > 0) return Ended::memory_limit;
  if (!meas.status || status == -1) return Ended::none;
  const int signal = died_of(status);
  // A negative cap wraps to none.
  const bool near_cap =
      cpu_cap_seconds >= 0 &&
      cpu_seconds_of(meas.usage) >= CPU_CAP_SHARE * static_cast<double>(cpu_cap_seconds);
  if (signal == SIGXCPU || (signal == SIGKILL && near_cap)) return Ended::cpu_cap;
  if (signal == SIGXFSZ) return Ended::file_size_cap;
  return signal != 0 ? Ended::signal : Ended::exit;
}

void write_extended_block(std::ostream& out, const RunResult& base, const RunResult& meas,
                          Ended ended, OutputSizes sizes) {
  using Seconds = std::chrono::duration<double>;
  write_line(out, "basewall=", Seconds(base.wall).count());
  write_line(out, "wall=", Seconds(meas.wall).count());
  write_line(out, "basemaxrss=", base.usage.ru_maxrss);
  write_line(out, "maxrss=", meas.usage.ru_maxrss);
  write_line(out, "timedout=", static_cast<int>(meas.ending == Ending::wall_limit));
  // The baseline's own status: as its child handed it over, else the child's own, else -1.
  write_line(out, "basestatus=", base.status ? base.handed_over.value_or(*base.status) : -1);
  out << "ended=" << word_of(ended) << '\n';
  write_line(out, "outbytes=", sizes.out);
  write_line(out, "errbytes=", sizes.err);
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

void write_interactor_block(std::ostream& out, const InteractorResult& interactor) {
  write_line(out, "interactorstatus=", interactor.status);
  write_line(out, "interactorwall=", std::chrono::duration<double>(interactor.wall).count());
  out << "firstended=" << (interactor.ended_first ? "interactor" : "program") << '\n';
}

int cannot_write(std::string_view what) {
  const Errno error = last_error();
  if (error.value == 0) return fail("cannot write ", what);
  return fail("cannot write ", what, ": ", error);
}

namespace {

// The report goes into its file from the start, and the file is cut to it: a command may have
// written there. phase1 succeeds only if the name still leads to that file.
int write_to_file(ReportFile& report, std::string_view text) {
  const std::string what = std::string("the report to ") + report.path;
  const int fd = report.file.get();
  struct stat opened {};
  if (fstat(fd, &opened) != 0) return cannot_write(what);
  const bool regular = S_ISREG(opened.st_mode);
  errno = 0;
  if (!write_all(fd, text, regular ? std::optional<off_t>(0) : std::nullopt) ||
      (regular && ftruncate(fd, static_cast<off_t>(text.size())) != 0) ||
      close(report.file.release()) != 0) {
    return cannot_write(what);
  }
  struct stat named {};
  if (stat(report.path, &named) != 0 || named.st_dev != opened.st_dev ||
      named.st_ino != opened.st_ino) {
    return fail(report.path,
                " is no longer the report's file: it was removed or replaced during the run");
  }
  return 0;
}

} // namespace

std::string to_json(std::string_view text) {
  std::string json = "{";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    const std::size_t equals = line.find('=');
    const std::string_view value = line.substr(equals + 1);
    const bool word = !value.empty() && std::isalpha(static_cast<unsigned char>(value[0])) != 0;
    json.append(at == 0 ? "\"" : ",\"").append(line.substr(0, equals)).append("\":");
    json.append(word ? "\"" : "").append(value).append(word ? "\"" : "");
    at = end + 1;
  }
  return json + "}\n";
}

int write_report(ReportFile& report, const RunResult& base, const RunResult& meas,
                 const StatusDuty& measured_duty, ReportShape shape,
                 const MeasuredSetting& setting) {
  const auto word = status_for_parent(meas, measured_duty);
  // The report is formatted whole, then written in one piece.
  std::ostringstream out;
  if (word) write_status_block(out, *word);
  write_usage_block(out, base.usage, meas.usage);
  if (shape.extended) {
    const int reported = word.value_or(meas.status.value_or(-1));
    write_extended_block(out, base, meas, ended_of(meas, reported, setting), setting.sizes);
  }
  if (meas.tree) write_tree_block(out, base.tree.value_or(TreeFigures{}), meas);
  if (setting.interactor) write_interactor_block(out, *setting.interactor);
  // A reader that has gone, or phase1's own file-size limit, is a failure to write, not death.
  catch_write_signals();
  errno = 0;
  const std::string text =
      shape.format == Format::json ? to_json(out.view()) : std::move(out).str();
  const int written = report.path != nullptr              ? write_to_file(report, text)
                      : write_at_end(STDOUT_FILENO, text) ? 0
                                                          : cannot_write("the report");
  if (written != 0) return written;
  if (setting.interactor && setting.interactor->transcript_error) {
    return fail("cannot write the transcript: ", Errno{*setting.interactor->transcript_error});
  }
  for (const auto* run : {&base, &meas}) {
    if (run->tree && !run->tree->settled) {
      return fail("a run's cgroup still held processes after it was killed");
    }
  }
  if (word || !meas.status || child_wrote_status(meas)) return 0;
  const int s = *meas.status;
  return fail("no whole status block: the measured child ",
              WIFSIGNALED(s) ? "was killed by signal " : "exited with status ",
              WIFSIGNALED(s) ? WTERMSIG(s) : WEXITSTATUS(s));
}
