// phase1: runs a baseline and a measured shell command under resource caps and reports, as
// key=value lines on standard output, how the measured command ended and what both runs used.

#include "command_line.hpp"
#include "containment.hpp"
#include "files.hpp"
#include "handover.hpp"
#include "limits.hpp"
#include "report.hpp"
#include "run.hpp"
#include "say.hpp"
#include "signals.hpp"
#include "user.hpp"

#include <csignal>
#include <variant>

int main(int argc, char* argv[]) {
  const std::span<char* const> args(argv, argc);
  const auto command_line = read_command_line(args.empty() ? args : args.subspan(1));
  const auto* const run = std::get_if<Invocation>(&command_line);
  if (run == nullptr) return *std::get_if<int>(&command_line);
  // Whatever can fail is done before anything runs, so that a refusal runs nothing: the
  // report's file, the run's files, the user, and the runs' containers.
  auto report = open_report(run->output);
  if (!report) return EXIT_PHASE1_FAILED;
  const auto files = open_files(run->files, report->file.get());
  if (!files) return EXIT_PHASE1_FAILED;
  const auto user = run->user != nullptr ? look_up_user(run->user) : std::nullopt;
  if (run->user != nullptr && !user) return EXIT_PHASE1_FAILED;
  const auto duties = assign_status_duties({parent_writes_status(*run), run->extended});
  if (!duties) return EXIT_PHASE1_FAILED;
  auto containers =
      make_containers(run->bounds.wall.has_value(), run->cgroups, run->limits.processes);
  if (!containers) return EXIT_PHASE1_FAILED;

  // An ignored SIGCHLD, inherited from our caller, would make every child uncollectable.
  (void)std::signal(SIGCHLD, SIG_DFL);
  prepare_signals(run->bounds.wall || run->cgroups.wanted);

  const RunResult base = run_child(
      {baseline_caps(run->limits), run->baseline, duties->baseline, files->baseline, user},
      containers->baseline, {run->bounds.wall, std::nullopt});
  const RunResult meas = run_child(
      {measured_caps(run->limits), run->measured, duties->measured, files->measured, user},
      containers->measured, run->bounds);
  return write_report(*report, base, meas, duties->measured, {run->extended, run->format});
}
