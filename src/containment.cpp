#include "containment.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <linux/magic.h>
#include <linux/sched.h>
#include <poll.h>
#include <sched.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The cgroup v2 files that phase1 reads and writes.
namespace v2 {
constexpr const char* CONTROLLERS = "cgroup.controllers";
constexpr const char* SUBTREE_CONTROL = "cgroup.subtree_control";
constexpr const char* PROCS = "cgroup.procs";
constexpr const char* TYPE = "cgroup.type"; // in every cgroup but the root
constexpr const char* EVENTS = "cgroup.events";
constexpr const char* KILL = "cgroup.kill";
constexpr const char* CPU_STAT = "cpu.stat";
constexpr const char* MEMORY_MAX = "memory.max";
constexpr const char* SWAP_MAX = "memory.swap.max";
constexpr const char* MEMORY_PEAK = "memory.peak";
constexpr const char* MEMORY_EVENTS = "memory.events";
constexpr const char* PIDS_MAX = "pids.max";
} // namespace v2

// The runs' cgroups and phase1's own leaf are named PREFIX + pid + RUN_SUFFIXES.
constexpr std::string_view PREFIX = "phase1-";
constexpr std::array<std::string_view, 3> RUN_SUFFIXES{"", "-baseline", "-measured"};
constexpr mode_t CGROUP_MODE = 0755;
// Read in pieces of this size: cgroup files are small.
constexpr std::size_t READ_PIECE = 512;

// clone3 into a cgroup came in 5.7, cgroup.kill in 5.14.
constexpr std::array<int, 2> OLDEST_KERNEL{5, 14};
// How long the kernel may take to end a killed run's last process.
constexpr auto EMPTYING_TIME = std::chrono::seconds(10);
// The CPU limit is never read more often than this.
constexpr auto CPU_READ_GAP = std::chrono::milliseconds(1);
// A shell's exit status for a child that signal N ended is this plus N.
constexpr int SHELL_SIGNAL_BASE = 128;
// Where the kernel gives no pidfd, how often the child is looked at.
constexpr auto CHILD_LOOK_GAP = std::chrono::milliseconds(10);

constexpr std::string_view NEED_V2 = "the runs' cgroups need cgroup v2 with the memory controller";

// Read by the signal handlers. The run's group is set only while a contained child is unreaped,
// so that its id cannot belong to anyone else; the kill descriptor is the running cgroup's.
volatile std::sig_atomic_t run_group = 0;
volatile std::sig_atomic_t run_kill = -1;
volatile std::sig_atomic_t phase1_pid = 0;

void kill_cgroup(int kill_fd) {
  if (kill_fd >= 0) (void)pwrite(kill_fd, "1", 1, 0);
}

// SIGINT and SIGQUIT. The terminal sends them to its foreground group, which holds phase1 and
// a run without a group of its own; a run in a group of its own gets them from here.
void pass_on(int sig) {
  const int saved = errno;
  if (run_group != 0) (void)kill(-run_group, sig);
  errno = saved;
}

// SIGTERM and SIGHUP under containment: the run goes first, then phase1 by the same signal. A
// contained child inherits this handler, and SIGTERM is also its parent-death signal: there it
// ends the child's own run.
void end_run(int sig) {
  const int saved = errno;
  if (getpid() != phase1_pid) {
    kill_cgroup(run_kill);
    (void)kill(getpgrp() == getpid() ? 0 : getpid(), SIGKILL);
    errno = saved;
    return;
  }
  kill_cgroup(run_kill);
  if (run_group != 0) (void)kill(-run_group, SIGKILL);
  // The signal is blocked in its own handler: unblocked, it ends phase1 here and now. As the
  // first process of a PID namespace phase1 outlives it, and ends as a shell would report it.
  (void)std::signal(sig, SIG_DFL);
  sigset_t own{};
  (void)sigemptyset(&own);
  (void)sigaddset(&own, sig);
  (void)raise(sig);
  (void)sigprocmask(SIG_UNBLOCK, &own, nullptr);
  _exit(SHELL_SIGNAL_BASE + sig);
}

// A signal that must not end phase1, but only interrupt what it waits for.
void interrupt(int /*sig*/) {}

// Catches `sig` with `handler`, unless phase1's caller has it ignored and `keep_ignored`.
void catch_signal(int sig, void (*handler)(int), bool keep_ignored) {
  struct sigaction action {};
  if (keep_ignored && sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
    return;
  }
  action = {};
  action.sa_handler = handler;
  // A report write or a wait that a signal interrupts goes on.
  action.sa_flags = SA_RESTART;
  (void)sigaction(sig, &action, nullptr);
}

template <typename... Words> std::nullopt_t say(const Words&... words) {
  ((std::cerr << words), ...) << '\n';
  return std::nullopt;
}

std::string reason() {
  return std::strerror(errno);
}

// The whole of a small file, read from its start.
std::optional<std::string> read_fd(int fd) {
  std::string text;
  std::array<char, READ_PIECE> buffer{};
  for (;;) {
    const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

std::optional<std::string> read_at(int dir, const char* name) {
  const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto text = read_fd(fd);
  (void)close(fd);
  return text;
}

bool write_at(int dir, const char* name, std::string_view text) {
  const int fd = openat(dir, name, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int saved = errno;
  (void)close(fd);
  errno = saved;
  return written;
}

// The decimal number that `text` starts with.
std::optional<std::int64_t> number(std::string_view text) {
  std::int64_t value = 0;
  const bool read =
      std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc{};
  return read ? std::optional(value) : std::nullopt;
}

// The number after `key` and a space at the start of a line of `text`, such as "usage_usec 5".
std::optional<std::int64_t> field(std::string_view text, std::string_view key) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ') {
      return number(line.substr(key.size() + 1));
    }
    at = end + 1;
  }
  return std::nullopt;
}

bool has_word(std::string_view text, std::string_view word) {
  for (std::size_t at = 0; (at = text.find(word, at)) != std::string_view::npos; ++at) {
    const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n';
    const std::size_t end = at + word.size();
    if (starts && (end == text.size() || text[end] == ' ' || text[end] == '\n')) return true;
  }
  return false;
}

bool kernel_is_recent() {
  utsname name{};
  if (uname(&name) != 0) return false;
  std::array<int, 2> version{};
  const char* p = name.release;
  const char* const end = p + std::strlen(p);
  for (int& part : version) {
    const auto [next, error] = std::from_chars(p, end, part);
    if (error != std::errc{}) return false;
    p = next + (next != end && *next == '.' ? 1 : 0);
  }
  return version >= OLDEST_KERNEL;
}

// Where the cgroup2 file system is mounted, from /proc/self/mountinfo; its root must be the
// hierarchy's, or phase1's own cgroup path would not lead into it.
std::optional<std::string> cgroup2_mount() {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    const auto dash = line.find(" - ");
    constexpr std::string_view TYPE = " - cgroup2 ";
    if (dash == std::string::npos || line.compare(dash, TYPE.size(), TYPE) != 0) continue;
    // id parent major:minor root mount-point ...
    std::array<std::string_view, 5> fields{}; // NOLINT(readability-magic-numbers)
    std::string_view rest = line;
    for (auto& f : fields) {
      const auto space = rest.find(' ');
      f = rest.substr(0, space);
      rest.remove_prefix(std::min(space + 1, rest.size()));
    }
    if (fields[3] == "/") return std::string(fields[4]);
  }
  return std::nullopt;
}

// phase1's own cgroup, from the "0::" line of /proc/self/cgroup.
std::optional<std::string> own_cgroup(const std::string& mount) {
  std::ifstream in("/proc/self/cgroup");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("0::/")) return line.size() == 4 ? mount : mount + line.substr(3);
  }
  return std::nullopt;
}

// The directory the runs' cgroups go in, and an open descriptor of it.
struct Parent {
  std::string path;
  int fd;
  bool leave; // phase1 is alone in it, and must first leave it for a leaf of its own
};

bool is_cgroup2(const std::string& path) {
  struct statfs fs {};
  return statfs(path.c_str(), &fs) == 0 && fs.f_type == CGROUP2_SUPER_MAGIC;
}

// The name of phase1 `pid`'s own leaf, or with a suffix of one of its runs' cgroups.
std::string leaf_name(pid_t pid, std::string_view suffix = RUN_SUFFIXES[0]) {
  return std::string(PREFIX).append(std::to_string(pid)).append(suffix);
}

// Without --cgroup: phase1's own cgroup, where v2 lets phase1 make cgroups beside itself. That
// is a cgroup that phase1 is alone in, and leaves for a leaf of its own, or the root. Nothing is
// changed yet.
std::optional<Parent> own_parent() {
  const auto mount = cgroup2_mount();
  const auto own = mount ? own_cgroup(*mount) : std::nullopt;
  if (!own) return say("phase1: ", NEED_V2);
  const int fd = open(own->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return say("phase1: cannot open phase1's cgroup ", *own, ": ", reason());
  if (read_at(fd, v2::PROCS) == std::to_string(getpid()) + "\n") return Parent{*own, fd, true};
  if (faccessat(fd, v2::TYPE, F_OK, 0) != 0 && errno == ENOENT) return Parent{*own, fd, false};
  (void)close(fd);
  return say("phase1: phase1 shares its cgroup ", *own,
             " with other processes; name a cgroup to use with --cgroup=DIR, or start phase1 "
             "with systemd-run --scope -p Delegate=yes (and --user, as a user)");
}

std::optional<Parent> named_parent(const char* dir) {
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return say("phase1: cannot use the cgroup ", dir, ": ", reason());
  if (!is_cgroup2(dir)) {
    (void)close(fd);
    return say("phase1: ", dir, " is not a cgroup v2 directory; ", NEED_V2);
  }
  if (faccessat(fd, v2::SUBTREE_CONTROL, W_OK, AT_EACCESS) != 0) {
    (void)close(fd);
    return say("phase1: cannot use the cgroup ", dir, ": ", reason());
  }
  return Parent{dir, fd, false};
}

// The controllers that the runs' cgroups need, as they are to be enabled in the parent: memory,
// and pids where the parent has it. Only reads.
std::optional<std::string> controllers_for(const Parent& parent, bool pids_needed) {
  const auto available = read_at(parent.fd, v2::CONTROLLERS);
  if (!available || !has_word(*available, "memory")) return say("phase1: ", NEED_V2);
  const bool pids = has_word(*available, "pids");
  if (pids_needed && !pids) {
    return say("phase1: --processes with cgroups needs the pids controller in ", parent.path);
  }
  const auto enabled = read_at(parent.fd, v2::SUBTREE_CONTROL).value_or("");
  std::string wanted;
  if (!has_word(enabled, "memory")) wanted += "+memory ";
  if (pids && !has_word(enabled, "pids")) wanted += "+pids ";
  return wanted;
}

// Moves phase1 into a leaf of its own, if it must, then enables `controllers`.
bool settle_in(const Parent& parent, const std::string& controllers) {
  if (parent.leave) {
    const std::string leaf = leaf_name(getpid());
    const std::string path = parent.path + "/" + leaf;
    if (mkdirat(parent.fd, leaf.c_str(), CGROUP_MODE) != 0 && errno != EEXIST) {
      return say("phase1: cannot make the cgroup ", path, ": ", reason()), false;
    }
    const int fd = openat(parent.fd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool moved = fd >= 0 && write_at(fd, v2::PROCS, std::to_string(getpid()));
    if (!moved) return say("phase1: cannot move phase1 into ", path, ": ", reason()), false;
    (void)close(fd);
  }
  if (controllers.empty() || write_at(parent.fd, v2::SUBTREE_CONTROL, controllers)) return true;
  return say("phase1: cannot enable the memory and pids controllers in ", parent.path, ": ",
             reason(), errno == EBUSY ? " (it holds processes of its own)" : ""),
         false;
}

// Removes the empty cgroups that phase1s which no longer run left in `parent`.
void remove_stale(const Parent& parent) {
  const int fd = dup(parent.fd);
  DIR* const dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(PREFIX)) continue;
    pid_t pid = 0;
    const char* const end = name.data() + name.size();
    const auto [rest, error] = std::from_chars(name.data() + PREFIX.size(), end, pid);
    const std::string_view suffix(rest, end - rest);
    if (error != std::errc{} ||
        std::find(RUN_SUFFIXES.begin(), RUN_SUFFIXES.end(), suffix) == RUN_SUFFIXES.end()) {
      continue;
    }
    if (pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH) {
      (void)unlinkat(parent.fd, entry->d_name, AT_REMOVEDIR);
    }
  }
  (void)closedir(dir);
}

std::optional<RunCgroup> make_run_cgroup(const Parent& parent, std::string_view suffix,
                                         std::int64_t memory_bytes,
                                         std::optional<std::int64_t> processes) {
  const std::string name = leaf_name(getpid(), suffix);
  const std::string path = parent.path + "/" + name;
  // One left by an earlier phase1 of the same pid is empty, or it would still run.
  if (mkdirat(parent.fd, name.c_str(), CGROUP_MODE) != 0 &&
      (errno != EEXIST || unlinkat(parent.fd, name.c_str(), AT_REMOVEDIR) != 0 ||
       mkdirat(parent.fd, name.c_str(), CGROUP_MODE) != 0)) {
    return say("phase1: cannot make the cgroup ", path, ": ", reason());
  }
  const int dir = openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const auto open_file = [&](const char* file, int flags) {
    return dir < 0 ? -1 : openat(dir, file, flags | O_CLOEXEC);
  };
  RunCgroup cgroup{path,
                   parent.fd,
                   dir,
                   open_file(v2::KILL, O_WRONLY),
                   open_file(v2::EVENTS, O_RDONLY),
                   open_file(v2::CPU_STAT, O_RDONLY),
                   open_file(v2::MEMORY_PEAK, O_RDONLY),
                   open_file(v2::MEMORY_EVENTS, O_RDONLY)};
  const auto limit = [](std::int64_t value) {
    return value < 0 ? std::string("max") : std::to_string(value);
  };
  const bool limited =
      (memory_bytes < 0 ||
       (write_at(dir, v2::MEMORY_MAX, limit(memory_bytes)) &&
        (faccessat(dir, v2::SWAP_MAX, F_OK, 0) != 0 || write_at(dir, v2::SWAP_MAX, "0")))) &&
      (!processes || write_at(dir, v2::PIDS_MAX, limit(*processes)));
  const bool opened =
      cgroup.kill >= 0 && cgroup.events >= 0 && cgroup.cpu_stat >= 0 && cgroup.memory_events >= 0;
  if (!limited || !opened) {
    const std::string why = reason();
    (void)unlinkat(parent.fd, name.c_str(), AT_REMOVEDIR);
    return say("phase1: cannot set up the cgroup ", path, ": ", why);
  }
  return cgroup;
}

int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? std::max(CPU_COUNT(&set), 1) : 1;
}

std::chrono::microseconds cpu_used(const RunCgroup& cgroup) {
  const auto text = read_fd(cgroup.cpu_stat);
  return std::chrono::microseconds(text ? field(*text, "usage_usec").value_or(0) : 0);
}

// Waits up to `timeout` (forever if none) for the child to end; says whether it has.
bool child_ended(const Birth& child, std::optional<std::chrono::nanoseconds> timeout) {
  if (child.pidfd < 0) {
    siginfo_t info{};
    if (waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
      return true;
    }
    timeout = std::min(timeout.value_or(CHILD_LOOK_GAP), std::chrono::nanoseconds(CHILD_LOOK_GAP));
  }
  const auto seconds =
      timeout ? std::chrono::floor<std::chrono::seconds>(*timeout) : std::chrono::seconds::zero();
  const timespec wait{seconds.count(), timeout ? (*timeout - seconds).count() : 0};
  pollfd fd{child.pidfd, POLLIN, 0};
  return ppoll(&fd, child.pidfd < 0 ? 0 : 1, timeout ? &wait : nullptr, nullptr) > 0;
}

} // namespace

std::optional<Containers> make_containers(bool group, const CgroupRequest& request,
                                          std::optional<std::int64_t> processes) {
  if (!request.wanted) return Containers{{group, std::nullopt}, {group, std::nullopt}};
  // Everything is checked before anything is changed.
  const auto parent = request.dir != nullptr ? named_parent(request.dir) : own_parent();
  const auto controllers = parent ? controllers_for(*parent, processes.has_value()) : std::nullopt;
  if (!controllers) return std::nullopt;
  if (!kernel_is_recent()) {
    return say("phase1: the runs' cgroups need Linux 5.14 or later (clone3 into a cgroup, "
               "and cgroup.kill)");
  }
  if (!settle_in(*parent, *controllers)) return std::nullopt;
  remove_stale(*parent);
  auto baseline = make_run_cgroup(*parent, RUN_SUFFIXES[1], request.memory_bytes, std::nullopt);
  if (!baseline) return std::nullopt;
  auto measured = make_run_cgroup(*parent, RUN_SUFFIXES[2], request.memory_bytes, processes);
  if (!measured) {
    (void)rmdir(baseline->path.c_str());
    return std::nullopt;
  }
  return Containers{{group, std::move(baseline)}, {group, std::move(measured)}};
}

void prepare_signals(bool contained) {
  phase1_pid = getpid();
  // Whatever its caller blocked, phase1 and every child start with no signal blocked.
  sigset_t none{};
  (void)sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  catch_signal(SIGINT, pass_on, true);
  catch_signal(SIGQUIT, pass_on, true);
  if (contained) {
    catch_signal(SIGTERM, end_run, false);
    catch_signal(SIGHUP, end_run, true);
    // The wall limit is phase1's own clock: a SIGALRM from a command ends nothing.
    catch_signal(SIGALRM, interrupt, true);
  }
}

void catch_write_signals() {
  catch_signal(SIGPIPE, interrupt, false);
  catch_signal(SIGXFSZ, interrupt, false);
}

Birth spawn(const Container& container) {
  if (!container.cgroup) {
    const pid_t pid = fork();
    // The pidfd lets the parent wait for the child with a timeout and no timer signal.
    const bool waits = pid > 0 && container.group;
    return {pid, waits ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1};
  }
  // The handler of a contained child ends its run through this.
  run_kill = container.cgroup->kill;
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_INTO_CGROUP | CLONE_PIDFD;
  args.pidfd = reinterpret_cast<std::uintptr_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<std::uint64_t>(container.cgroup->dir);
  // glibc has no wrapper, and a child of the raw call keeps the parent's cached thread id. The
  // child calls nothing that reads it (raise, abort, pthread_*): its caps, system (which
  // spawns with clone and waits with waitpid), its status word or block, and _exit.
  const auto pid = static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
  return {pid, pid > 0 ? pidfd : -1};
}

void enter_in_child(const Container& container) {
  if (container.group) (void)setpgid(0, 0);
  if (container.group || container.cgroup) {
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != phase1_pid) _exit(EXIT_FAILURE); // phase1 died before the prctl
  }
}

Ending wait_bounded(const Birth& child, const Container& container, const Bounds& bounds,
                    std::chrono::steady_clock::time_point start) {
  using Clock = std::chrono::steady_clock;
  // The child does the same: whichever comes first, the group exists before it is signalled.
  if (container.group) {
    (void)setpgid(child.pid, child.pid);
    run_group = child.pid;
  }
  const bool cpu_bounded = bounds.cpu && container.cgroup;
  const int cpus = cpu_bounded ? usable_cpus() : 1;
  auto next_read = start;
  Ending ending = Ending::itself;
  for (;;) {
    const auto now = Clock::now();
    std::optional<Clock::time_point> wake;
    if (bounds.wall) {
      if (now - start >= *bounds.wall) {
        ending = Ending::wall_limit;
        break;
      }
      wake = start + *bounds.wall;
    }
    // The run's CPU time grows at most `cpus` times as fast as the clock: read it again at
    // the first moment the limit could be reached.
    if (cpu_bounded) {
      if (now >= next_read) {
        const auto left = *bounds.cpu - cpu_used(*container.cgroup);
        if (left <= std::chrono::nanoseconds::zero()) {
          ending = Ending::cpu_limit;
          break;
        }
        next_read = now + std::max<std::chrono::nanoseconds>(CPU_READ_GAP, left / cpus);
      }
      wake = std::min(wake.value_or(next_read), next_read);
    }
    const auto timeout =
        wake ? std::optional(std::max(*wake - now, Clock::duration::zero())) : std::nullopt;
    if (child_ended(child, timeout)) break;
  }
  if (container.cgroup) kill_cgroup(container.cgroup->kill);
  if (container.group) (void)kill(-child.pid, SIGKILL);
  run_group = 0;
  return ending;
}

std::optional<TreeFigures> end_container(const Container& container) {
  if (!container.cgroup) return std::nullopt;
  const RunCgroup& cgroup = *container.cgroup;
  kill_cgroup(cgroup.kill);
  run_kill = -1;
  // cgroup.events changes, and polls as urgent, when the last process has gone.
  const auto until = std::chrono::steady_clock::now() + EMPTYING_TIME;
  bool settled = false;
  while (!(settled = field(read_fd(cgroup.events).value_or(""), "populated") == 0) &&
         std::chrono::steady_clock::now() < until) {
    pollfd fd{cgroup.events, POLLPRI, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    (void)poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 1)));
  }
  const auto peak = cgroup.memory_peak < 0 ? std::nullopt : read_fd(cgroup.memory_peak);
  const TreeFigures figures{
      cpu_used(cgroup).count(),
      peak ? number(*peak).value_or(-1) : -1,
      field(read_fd(cgroup.memory_events).value_or(""), "oom_kill").value_or(0),
      settled,
  };
  for (const int fd : {cgroup.dir, cgroup.kill, cgroup.events, cgroup.cpu_stat, cgroup.memory_peak,
                       cgroup.memory_events}) {
    if (fd >= 0) (void)close(fd);
  }
  if (settled) (void)rmdir(cgroup.path.c_str());
  return figures;
}
