#include "containment.hpp"

#include "signals.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <linux/sched.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The CPU limit is never read more often than this.
constexpr auto CPU_READ_GAP = std::chrono::milliseconds(1);
// Where the kernel gives no pidfd, how often the child is looked at.
constexpr auto CHILD_LOOK_GAP = std::chrono::milliseconds(10);

int usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? std::max(CPU_COUNT(&set), 1) : 1;
}

// Waits up to `timeout` (forever if none) for the child to end; says whether it has.
bool child_ended(const Birth& child, std::optional<std::chrono::nanoseconds> timeout) {
  if (!child.pidfd) {
    siginfo_t info{};
    if (waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
      return true;
    }
    timeout = std::min(timeout.value_or(CHILD_LOOK_GAP), std::chrono::nanoseconds(CHILD_LOOK_GAP));
  }
  const auto seconds =
      timeout ? std::chrono::floor<std::chrono::seconds>(*timeout) : std::chrono::seconds::zero();
  const timespec wait{seconds.count(), timeout ? (*timeout - seconds).count() : 0};
  pollfd fd{child.pidfd.get(), POLLIN, 0};
  return ppoll(&fd, child.pidfd ? 1 : 0, timeout ? &wait : nullptr, nullptr) > 0;
}

} // namespace

std::optional<Containers> make_containers(bool group, const CgroupRequest& request,
                                          std::optional<std::int64_t> processes) {
  if (!request.wanted) return Containers{{group, std::nullopt}, {group, std::nullopt}};
  // Everything is checked before anything is changed.
  const auto parent = find_parent(request.dir);
  const auto controllers = parent ? controllers_for(*parent, processes.has_value()) : std::nullopt;
  if (!controllers || !settle_in(*parent, *controllers)) return std::nullopt;
  remove_stale(*parent);
  auto baseline = make_run_cgroup(*parent, Role::baseline, request.memory_bytes, std::nullopt);
  if (!baseline) return std::nullopt;
  auto measured = make_run_cgroup(*parent, Role::measured, request.memory_bytes, processes);
  if (!measured) {
    (void)rmdir(baseline->path.c_str());
    return std::nullopt;
  }
  return Containers{{group, std::move(baseline)}, {group, std::move(measured)}};
}

Birth spawn(const Container& container) {
  if (!container.cgroup) {
    const pid_t pid = fork();
    // The pidfd lets the parent wait for the child with a timeout and no timer signal.
    const bool waits = pid > 0 && container.group;
    return {pid, Fd(waits ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1)};
  }
  // The handler of a contained child ends its run through this.
  arm_cgroup(container.cgroup->kill.get());
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_INTO_CGROUP | CLONE_PIDFD;
  args.pidfd = reinterpret_cast<std::uintptr_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<std::uint64_t>(container.cgroup->dir.get());
  // glibc has no wrapper, and a child of the raw call keeps the parent's cached thread id. The
  // child calls nothing that reads it (raise, abort, pthread_*): its caps, system (which
  // spawns with clone and waits with waitpid), its status word or block, and _exit.
  const auto pid = static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
  return {pid, Fd(pid > 0 ? pidfd : -1)};
}

void enter_in_child(const Container& container) {
  if (container.group) (void)setpgid(0, 0);
  if (container.group || container.cgroup) {
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (!is_phase1(getppid())) _exit(EXIT_FAILURE); // phase1 died before the prctl
  }
}

Ending wait_bounded(const Birth& child, const Container& container, const Bounds& bounds,
                    std::chrono::steady_clock::time_point start) {
  using Clock = std::chrono::steady_clock;
  // The child does the same: whichever comes first, the group exists before it is signalled.
  if (container.group) {
    (void)setpgid(child.pid, child.pid);
    arm_group(child.pid);
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
  if (container.cgroup) kill_cgroup(container.cgroup->kill.get());
  if (container.group) (void)kill(-child.pid, SIGKILL);
  disarm();
  return ending;
}

std::optional<TreeFigures> end_container(Container& container) {
  if (!container.cgroup) return std::nullopt;
  disarm();
  const TreeFigures figures = drain(std::move(*container.cgroup));
  container.cgroup.reset();
  return figures;
}
