// phase1: runs a baseline and a measured shell command under resource caps and reports, as
// key=value lines on standard output, how the measured command ended and what both runs used.

#include "command_line.hpp"
#include "containment.hpp"
#include "files.hpp"
#include "limits.hpp"
#include "report.hpp"
#include "run.hpp"
#include "user.hpp"

#include <csignal>
#include <variant>

int main(int argc, char* argv[]) {
  const std::span<char* const> args(argv, argc);
  const auto command_line = read_command_line(args.empty() ? args : args.subspan(1));
  const auto* const run = std::get_if<Invocation>(&command_line);
  if (run == nullptr) return *std::get_if<int>(&command_line);
  // Whatever can fail is done before anything runs, so that a refusal runs nothing: the
  // report's file, the run's files, the user, and the runs' containers. The parent writes the
  // status block whenever a limit can end the measured run, so that it is written once, and
  // whenever the child's standard output is not the report's.
  const bool limited = run->bounds.wall || run->bounds.cpu || run->cgroups.memory_bytes >= 0;
  const bool hand_over = limited || run->files.out != nullptr || run->format == Format::json;
  const auto report = open_report(run->output, hand_over, run->extended);
  if (!report) return EXIT_PHASE1_FAILED;
  const auto files = open_files(run->files, report->fd);
  if (!files) return EXIT_PHASE1_FAILED;
  const auto user = run->user != nullptr ? look_up_user(run->user) : std::nullopt;
  if (run->user != nullptr && !user) return EXIT_PHASE1_FAILED;
  const auto containers =
      make_containers(run->bounds.wall.has_value(), run->cgroups, run->limits.processes);
  if (!containers) return EXIT_PHASE1_FAILED;

  // An ignored SIGCHLD, inherited from our caller, would make every child uncollectable.
  (void)std::signal(SIGCHLD, SIG_DFL);
  prepare_signals(run->bounds.wall || run->cgroups.wanted);

  const RunResult base = run_child(
      {baseline_caps(run->limits), run->baseline, report->baseline_duty, files->baseline, user},
      containers->baseline, {run->bounds.wall, std::nullopt});
  const RunResult meas = run_child(
      {measured_caps(run->limits), run->measured, report->measured_duty, files->measured, user},
      containers->measured, run->bounds);
  return write_report(*report, base, meas, run->extended, run->format);
}
