#include "run.hpp"

#include "say.hpp"
#include "signals.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child, from its birth to _exit. It does nothing before system but what the run asks for:
// its sandbox, its caps, its files, its user, and its containment, after the user, as a change
// of user clears the parent-death signal; then the signals that make the caps bite, and last
// the sandbox's seal. It ends with _exit:
// every line it wrote is written already, and exit handlers would only add to the run's figures.
[[noreturn]] void be_child(const Child& child, const Container& container) {
  if (container.sandbox) enter_sandbox(*container.sandbox);
  apply_caps(child.caps);
  put_in_place(child.files);
  if (child.user) become(*child.user);
  enter_in_child(container);
  reset_caps_signals();
  if (container.sandbox) seal_sandbox(*container.sandbox);
  const int status = std::system(child.command); // NOLINT(cert-env33-c): that is the point
  finish_child(child.duty, status);
}

} // namespace

std::optional<RunResult> run_child(const Child& child, Container& container, const Bounds& bounds,
                                   const Waiter& waiter) {
  const auto start = std::chrono::steady_clock::now();
  const Birth birth = spawn(container);
  if (birth.pid == 0) be_child(child, container);
  if (birth.pid < 0 && container.cgroup) {
    return say("cannot start a run in the cgroup ", container.cgroup->path, ": ",
               Errno{birth.error});
  }
  if (birth.pid < 0) return RunResult{std::nullopt, std::nullopt, {}, Ending::itself, {}, {}};
  const bool contained = container.grouping != Grouping::none || container.cgroup;
  Ending ending =
      contained ? wait_bounded(birth, container, bounds, start, waiter) : Ending::itself;
  // Collects this child only: a process that exec'd phase1 may have left children of its own.
  int status = 0;
  rusage usage{};
  while (wait4(birth.pid, &status, 0, &usage) == -1 && errno == EINTR) {
  }
  const auto wall = std::chrono::steady_clock::now() - start;
  const auto word = handed_over(child.duty);
  if (container.sandbox && !word && WIFEXITED(status) && WEXITSTATUS(status) == SANDBOX_FAILED) {
    end_container(container);
    return say("cannot make the run's sandbox");
  }
  // A child that ended by itself as a limit was reached handed over or wrote its status itself.
  if (word || !WIFSIGNALED(status)) ending = Ending::itself;
  return RunResult{status, word, usage, ending, wall, end_container(container)};
}

Beside start_beside(const Child& child, const Container& container) {
  Beside beside{spawn(container), std::chrono::steady_clock::now(), std::nullopt, {}};
  if (beside.birth.pid == 0) be_child(child, container);
  if (beside.birth.pid < 0) return beside;
  // As the child does: the group exists before it is signalled.
  (void)setpgid(beside.birth.pid, beside.birth.pid);
  arm_side(beside.birth.pid);
  return beside;
}

bool collect_beside(Beside& beside) {
  if (beside.birth.pid < 0 || beside.own_status) return true;
  // Its group is killed while the child is a zombie, which keeps the group's id its own.
  if (!child_ended(beside.birth, std::chrono::nanoseconds::zero())) return false;
  end_beside(beside);
  return true;
}

void end_beside(Beside& beside) {
  if (beside.birth.pid < 0 || beside.own_status) return;
  kill_group(beside.birth.pid);
  int status = 0;
  while (waitpid(beside.birth.pid, &status, 0) == -1 && errno == EINTR) {
  }
  beside.own_status = status;
  beside.wall = std::chrono::steady_clock::now() - beside.start;
  arm_side(0);
}

void stop_beside(const Beside& beside) {
  if (beside.birth.pid > 0 && !beside.own_status) (void)kill(-beside.birth.pid, SIGSTOP);
}
