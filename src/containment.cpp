#include "containment.hpp"

#include "say.hpp"
#include "signals.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The CPU limit is never read more often than this.
constexpr auto CPU_READ_GAP = std::chrono::milliseconds(1);

// phase1's controlling terminal, when phase1 is its foreground group; none otherwise.
Fd foreground_terminal() {
  Fd terminal(open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!terminal || tcgetpgrp(terminal.get()) != getpgrp()) return {};
  return terminal;
}

// Makes `group` the foreground group of `terminal`. A background group that asks gets SIGTTOU,
// which is held off meanwhile.
void hand_terminal(int terminal, pid_t group) {
  if (terminal < 0) return;
  sigset_t ttou{};
  sigset_t old{};
  (void)sigemptyset(&ttou);
  (void)sigaddset(&ttou, SIGTTOU);
  (void)sigprocmask(SIG_BLOCK, &ttou, &old);
  (void)tcsetpgrp(terminal, group);
  (void)sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Kills what is left of the run of `child`, which is unreaped, and takes the terminal back.
void end_run(const Birth& child, const Container& container) {
  if (container.cgroup) kill_cgroup(container.cgroup->kill.get());
  if (container.grouping != Grouping::none) kill_group(child.pid);
  disarm();
  hand_terminal(container.terminal, getpgrp());
}

} // namespace

void kill_group(pid_t leader) {
  (void)kill(leader, SIGKILL);
  (void)kill(-leader, SIGKILL);
}

int poll_for(std::span<pollfd> fds, std::optional<std::chrono::nanoseconds> timeout) {
  const auto seconds =
      timeout ? std::chrono::floor<std::chrono::seconds>(*timeout) : std::chrono::seconds::zero();
  const timespec wait{seconds.count(), timeout ? (*timeout - seconds).count() : 0};
  return ppoll(fds.data(), fds.size(), timeout ? &wait : nullptr, nullptr);
}

bool child_ended(const Birth& child, std::optional<std::chrono::nanoseconds> timeout) {
  if (!child.pidfd) {
    siginfo_t info{};
    if (waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
      return true;
    }
    timeout = std::min(timeout.value_or(CHILD_LOOK_GAP), std::chrono::nanoseconds(CHILD_LOOK_GAP));
  }
  pollfd fd{child.pidfd.get(), POLLIN, 0};
  return poll_for({&fd, child.pidfd ? 1U : 0U}, timeout) > 0;
}

bool contained(const ContainerRequest& request) {
  return request.grouping != Grouping::none || request.cgroups.wanted || request.sandboxed;
}

std::optional<Containers> make_containers(const ContainerRequest& request, SandboxRef sandbox) {
  std::optional<Containers> made(std::in_place);
  if (request.grouping == Grouping::group) made->terminal = foreground_terminal();
  const int terminal = made->terminal ? made->terminal.get() : -1;
  made->baseline = {request.grouping, terminal, std::nullopt, sandbox};
  made->measured = {request.grouping, terminal, std::nullopt, sandbox};
  if (!request.cgroups.wanted) return made;
  // Everything is checked before anything is changed, and a failure after a change undoes it.
  made->parent = find_parent(request.cgroups.dir);
  const auto controllers =
      made->parent ? controllers_for(*made->parent, request.processes.has_value()) : std::nullopt;
  if (!controllers) return std::nullopt;
  made->settlement = settle_in(*made->parent, *controllers);
  if (!made->settlement) return std::nullopt;
  remove_stale(*made->parent);
  const std::int64_t memory = request.cgroups.memory_bytes;
  // pids.max counts phase1's child too; -1 is no limit.
  std::optional<std::int64_t> pids_max;
  if (request.processes) pids_max = *request.processes < 0 ? -1 : *request.processes + 1;
  made->baseline.cgroup =
      make_run_cgroup(*made->parent, *made->settlement, Role::baseline, memory, std::nullopt);
  if (made->baseline.cgroup) {
    made->measured.cgroup =
        make_run_cgroup(*made->parent, *made->settlement, Role::measured, memory, pids_max);
  }
  if (!made->measured.cgroup) {
    abandon(made);
    return std::nullopt;
  }
  return made;
}

int abandon(std::optional<Containers>& containers) {
  if (!containers) return EXIT_PHASE1_FAILED;
  for (Container* container : {&containers->baseline, &containers->measured}) {
    if (container->cgroup) unmake(std::move(*container->cgroup));
    container->cgroup.reset();
  }
  if (containers->settlement) unsettle(*containers->parent, *containers->settlement);
  return EXIT_PHASE1_FAILED;
}

Birth spawn(const Container& container) {
  if (!container.cgroup && !container.sandbox) {
    const pid_t pid = fork();
    const int error = pid < 0 ? errno : 0;
    // The pidfd lets the parent wait for the child with a timeout and no timer signal.
    const bool waits = pid > 0 && container.grouping != Grouping::none;
    return {pid, Fd(waits ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1), error};
  }
  // The handler of a contained child ends its run through this.
  if (container.cgroup) arm_cgroup(container.cgroup->kill.get());
  int pidfd = -1;
  clone_args args{};
  // One call makes the child, in its cgroup and its namespaces alike.
  args.flags = CLONE_PIDFD | (container.cgroup ? CLONE_INTO_CGROUP : 0) |
               (container.sandbox ? namespace_flags(*container.sandbox) : 0);
  args.pidfd = reinterpret_cast<std::uintptr_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  args.cgroup = container.cgroup ? static_cast<std::uint64_t>(container.cgroup->dir.get()) : 0;
  // glibc has no wrapper, and a child of the raw call keeps the parent's cached thread id. The
  // child calls nothing that reads it (raise, abort, pthread_*): its caps, system (which
  // spawns with clone and waits with waitpid), its status word or block, and _exit.
  const auto pid = static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
  const int error = pid < 0 ? errno : 0;
  return {pid, Fd(pid > 0 ? pidfd : -1), error};
}

void enter_in_child(const Container& container) {
  if (container.grouping == Grouping::group) {
    (void)setpgid(0, 0);
    hand_terminal(container.terminal, getpid());
  }
  if (container.grouping == Grouping::session) (void)setsid();
  if (container.grouping != Grouping::none || container.cgroup || container.sandbox) {
    // PID 1 of a namespace has no handler to run: SIGKILL ends it, and the namespace with it.
    (void)prctl(PR_SET_PDEATHSIG, container.sandbox ? SIGKILL : SIGTERM);
    if (phase1_died()) _exit(EXIT_FAILURE); // before the prctl
  }
}

Ending wait_bounded(const Birth& child, const Container& container, const Bounds& bounds,
                    std::chrono::steady_clock::time_point start, const Waiter& waiter) {
  using Clock = std::chrono::steady_clock;
  // The child does the same: whichever comes first, the group exists before it is signalled.
  // A session the child must make itself, as no leader of a group can.
  if (container.grouping == Grouping::group) {
    (void)setpgid(child.pid, child.pid);
    hand_terminal(container.terminal, child.pid);
  }
  if (container.grouping != Grouping::none) arm_group(child.pid);
  const bool cpu_bounded = bounds.cpu && container.cgroup;
  const int cpus = cpu_bounded ? usable_cpus(*container.cgroup) : 1;
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
    if (waiter.wait(child, timeout)) break;
  }
  if (ending == Ending::wall_limit && waiter.at_wall_limit) waiter.at_wall_limit();
  end_run(child, container);
  return ending;
}

std::optional<TreeFigures> end_container(Container& container) {
  if (!container.cgroup) return std::nullopt;
  disarm();
  const TreeFigures figures = drain(std::move(*container.cgroup));
  container.cgroup.reset();
  return figures;
}
