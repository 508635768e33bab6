// phase1: runs a baseline and a measured shell command under resource caps and reports, as
// key=value lines on standard output, how the measured command ended and what both runs used.

#include "command_line.hpp"
#include "limits.hpp"
#include "report.hpp"
#include "run.hpp"

#include <csignal>
#include <cstdio>
#include <variant>

int main(int argc, char* argv[]) {
  const std::span<char* const> args(argv, argc);
  const auto command_line = read_command_line(args.empty() ? args : args.subspan(1));
  const auto* const run = std::get_if<Invocation>(&command_line);
  if (run == nullptr) return *std::get_if<int>(&command_line);
  // The report's file is opened before anything runs, so that a bad one runs nothing.
  const auto report = open_report(run->output);
  if (!report) return EXIT_PHASE1_FAILED;

  // Every report line is written whole and at once, so standard output needs no buffer, and
  // no process has to allocate one.
  (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
  // An ignored SIGCHLD, inherited from our caller, would make every child uncollectable.
  (void)std::signal(SIGCHLD, SIG_DFL);
  prepare_signals(run->wall_limit.has_value());

  const RunResult base =
      run_child({baseline_caps(run->limits), run->baseline, false, nullptr}, run->wall_limit);
  const RunResult meas = run_child(
      {measured_caps(run->limits), run->measured, true, report->status_word}, run->wall_limit);
  return write_report(*report, base, meas, run->extended);
}
