#include "run.hpp"

#include "report.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Read by the signal handlers. The run's group is set only while a contained child is unreaped,
// so that its id cannot belong to anyone else.
volatile std::sig_atomic_t run_group = 0;
volatile std::sig_atomic_t expired = 0;
volatile std::sig_atomic_t phase1_pid = 0;

// SIGALRM, when the wall limit expires. The group is killed here and not after the wait, so
// that a limit that expires just before the wait begins cannot be missed.
void expire(int /*sig*/) {
  const int saved = errno;
  if (run_group != 0) {
    expired = 1;
    (void)kill(-run_group, SIGKILL);
  }
  errno = saved;
}

// SIGINT and SIGQUIT. The terminal sends them to its foreground group, which holds phase1 and
// an uncontained run; a contained run is in a group of its own and gets them from here.
void pass_on(int sig) {
  const int saved = errno;
  if (run_group != 0) (void)kill(-run_group, sig);
  errno = saved;
}

// SIGTERM and SIGHUP under containment: the run's group goes first, then phase1 by the same
// signal. A contained child inherits this handler, and SIGTERM is also its parent-death
// signal: there it ends the child's own group, the run.
void end_run(int sig) {
  const int saved = errno;
  if (getpid() != phase1_pid) {
    (void)kill(getpgrp() == getpid() ? 0 : getpid(), SIGKILL);
    errno = saved;
    return;
  }
  if (run_group != 0) (void)kill(-run_group, SIGKILL);
  (void)std::signal(sig, SIG_DFL);
  (void)raise(sig);
}

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

// Arms the interval timer for `limit`, rounded up to whole microseconds; zero disarms it.
void set_timer(std::chrono::nanoseconds limit) {
  const auto micros = std::chrono::ceil<std::chrono::microseconds>(limit);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(micros);
  const itimerval timer{{0, 0}, {seconds.count(), (micros - seconds).count()}};
  (void)setitimer(ITIMER_REAL, &timer, nullptr);
}

// The child, from fork to _exit. It does nothing before system but what the run asks for: its
// own group and parent-death signal when contained, and its caps. It ends with _exit: every
// line it wrote is flushed already, and exit handlers would only add to the run's figures.
[[noreturn]] void be_child(const Child& child, bool contained) {
  if (contained) {
    (void)setpgid(0, 0);
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != phase1_pid) _exit(EXIT_FAILURE); // phase1 died before the prctl
  }
  apply_caps(child.caps);
  const int status = std::system(child.command); // NOLINT(cert-env33-c): that is the point
  // The child ends with 0 only once its command's status is handed over or written whole.
  if (!child.reports) _exit(0);
  if (child.status_word != nullptr) {
    *child.status_word = status;
    _exit(0);
  }
  _exit(write_status_block(std::cout, status) ? 0 : EXIT_FAILURE);
}

// Waits for the contained child `pid` to end, by itself or at the limit, and kills what is
// left of its run while the child is unreaped. Says whether the limit expired.
bool contain(pid_t pid, std::chrono::nanoseconds limit) {
  // The child does the same: whichever comes first, the group exists before it is signalled.
  (void)setpgid(pid, pid);
  expired = 0;
  run_group = pid;
  set_timer(limit);
  siginfo_t info{};
  while (waitid(P_PID, pid, &info, WEXITED | WNOWAIT) == -1 && errno == EINTR) {
  }
  set_timer(std::chrono::nanoseconds::zero());
  (void)kill(-pid, SIGKILL);
  run_group = 0;
  return expired != 0;
}

} // namespace

void prepare_signals(bool contained) {
  catch_signal(SIGINT, pass_on, true);
  catch_signal(SIGQUIT, pass_on, true);
  if (contained) {
    phase1_pid = getpid();
    catch_signal(SIGALRM, expire, false);
    catch_signal(SIGTERM, end_run, false);
    catch_signal(SIGHUP, end_run, true);
  }
}

RunResult run_child(const Child& child, std::optional<std::chrono::nanoseconds> wall_limit) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) be_child(child, wall_limit.has_value());
  if (pid < 0) return {std::nullopt, std::nullopt, {}, false, {}};
  const bool limit_expired = wall_limit && contain(pid, *wall_limit);
  // Collects this child only: a process that exec'd phase1 may have left children of its own.
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) == -1 && errno == EINTR) {
  }
  const auto wall = std::chrono::steady_clock::now() - start;
  const bool handed_over = child.status_word != nullptr && status == 0;
  // A child that ended by itself as the limit expired reported its command's status itself.
  return {status, handed_over ? std::optional(*child.status_word) : std::nullopt, usage,
          limit_expired && WIFSIGNALED(status), wall};
}
