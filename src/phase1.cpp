// phase1: runs a baseline and a measured shell command under resource caps and reports, as
// key=value lines on standard output, how the measured command ended and what both runs used.

#include "command_line.hpp"
#include "containment.hpp"
#include "files.hpp"
#include "handover.hpp"
#include "interactor.hpp"
#include "limits.hpp"
#include "report.hpp"
#include "run.hpp"
#include "say.hpp"
#include "signals.hpp"
#include "user.hpp"

#include <csignal>
#include <sys/prctl.h>
#include <variant>

int main(int argc, char* argv[]) {
  const std::span<char* const> args(argv, argc);
  const auto command_line = read_command_line(args.empty() ? args : args.subspan(1));
  const auto* const run = std::get_if<Invocation>(&command_line);
  if (run == nullptr) return *std::get_if<int>(&command_line);
  // No descriptor of the caller's reaches a command, none of phase1's lands on 0 to 2, and no
  // process of the same user can read or write phase1's memory, the status page among it.
  const StartingDescriptors start = settle_descriptors();
  (void)prctl(PR_SET_DUMPABLE, 0);
  if (start.stdout_closed && run->output == nullptr) {
    return fail("standard output is closed, and no --output names a file for the report");
  }

  // Everything is checked before anything is changed, so that a refusal runs and changes
  // nothing: the user, the files, the status page, the containers; then the containers are
  // made and the files created and emptied, each undone if a later step fails.
  const auto user = run->user != nullptr ? look_up_user(run->user) : std::nullopt;
  if (run->user != nullptr && !user) return EXIT_PHASE1_FAILED;
  auto found = find_files(run->output, run->files, user);
  if (!found) return EXIT_PHASE1_FAILED;
  const bool interactive = run->interactor.command != nullptr;
  const auto duties =
      assign_status_duties({parent_writes_status(*run), run->extended, interactive});
  if (!duties) return EXIT_PHASE1_FAILED;
  const auto sandbox =
      run->sandbox.dir != nullptr ? prepare_sandbox(run->sandbox, user.has_value()) : std::nullopt;
  if (run->sandbox.dir != nullptr && !sandbox) return EXIT_PHASE1_FAILED;
  const ContainerRequest request = containers_for(*run);
  auto containers = make_containers(request, sandbox ? SandboxRef(*sandbox) : std::nullopt);
  if (!containers) return EXIT_PHASE1_FAILED;
  auto files = open_found(std::move(*found), user);
  if (!files) return abandon(containers);
  auto interaction = interactive ? make_interaction(files->transcript) : std::nullopt;
  if (interactive && !interaction) return abandon(containers);

  // An ignored SIGCHLD, inherited from our caller, would make every child uncollectable.
  (void)std::signal(SIGCHLD, SIG_DFL);
  prepare_signals(contained(request));

  const auto base = run_child({baseline_caps(run->limits), run->baseline, duties->baseline,
                               joined(interaction, Party::baseline, baseline_files(*files)), user},
                              containers->baseline, {run->bounds.wall, std::nullopt});
  if (!base) return abandon(containers);
  const ProcessCap cap = request.cgroups.wanted ? ProcessCap::cgroup
                         : user                 ? ProcessCap::rlimit_of_other_user
                                                : ProcessCap::rlimit_of_own_user;
  // The interactor starts with the measured run, and has its grace once that has ended.
  auto interactor = start_interactor(run->interactor.command, interaction, duties->interactor);
  const auto meas =
      run_child({measured_caps(run->limits, cap), run->measured, duties->measured,
                 joined(interaction, Party::program, measured_files(*files)), user},
                containers->measured, run->bounds, waiter_for(interaction, interactor));
  if (!meas) return abandon(containers);
  const auto judged = finish_interactor(
      interaction, interactor, {run->interactor.grace.value_or(DEFAULT_GRACE), run->bounds.wall},
      meas->ending, duties->interactor);
  ReportFile report{run->output, std::move(files->report)};
  return write_report(report, *base, *meas, duties->measured, {run->extended, run->format},
                      {run->limits.cpu_seconds, output_sizes(*files), judged});
}
