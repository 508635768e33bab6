#include "signals.hpp"

#include "cgroup.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Read by the handlers, and written by the verbs below alone.
volatile std::sig_atomic_t run_group = 0;
volatile std::sig_atomic_t side_group = 0;
volatile std::sig_atomic_t run_kill = -1;
volatile std::sig_atomic_t phase1_pid = 0;
int phase1_pidfd = -1; // readable once phase1 has ended

// SIGINT and SIGQUIT. The terminal sends them to its foreground group, which holds phase1 and
// a run without a group of its own; a run in a group of its own gets them from here.
void pass_on(int sig) {
  const int saved = errno;
  if (run_group != 0) (void)kill(-run_group, sig);
  if (side_group > 0) (void)kill(-side_group, sig);
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
  if (side_group > 0) (void)kill(-side_group, SIGKILL);
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

} // namespace

void prepare_signals(bool contained) {
  phase1_pid = getpid();
  if (contained) {
    phase1_pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    if (phase1_pidfd >= 0) (void)fcntl(phase1_pidfd, F_SETFD, FD_CLOEXEC);
  }
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

void arm_cgroup(int kill_fd) {
  run_kill = kill_fd;
}

void arm_group(pid_t group) {
  run_group = group;
}

void disarm() {
  run_group = 0;
  run_kill = -1;
}

void arm_side(pid_t group) {
  side_group = group;
}

bool phase1_died() {
  if (phase1_pidfd >= 0) {
    pollfd fd{phase1_pidfd, POLLIN, 0};
    return poll(&fd, 1, 0) != 0;
  }
  return getppid() != phase1_pid;
}

void reset_caps_signals() {
  for (const int sig : {SIGPIPE, SIGXFSZ, SIGXCPU}) (void)std::signal(sig, SIG_DFL);
}

void catch_write_signals() {
  catch_signal(SIGPIPE, interrupt, false);
  catch_signal(SIGXFSZ, interrupt, false);
}
