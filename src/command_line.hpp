#pragma once

#include "containment.hpp"
#include "files.hpp"
#include "interactor.hpp"
#include "limits.hpp"
#include "report.hpp"
#include "sandbox.hpp"

#include <chrono>
#include <optional>
#include <span>
#include <variant>

// A run as the command line asks for it.
struct Invocation {
  RunLimits limits;
  Bounds bounds;                // the measured run's; the baseline has only the wall limit
  CgroupRequest cgroups;        // whether the runs have cgroups, where, and their memory limit
  const char* output;           // the report's file; none: standard output
  bool extended;                // the report has the extended block
  Format format;                // how the report is written
  const char* user;             // the user the commands run as; none: phase1's own
  FileNames files;              // the measured run's standard input, output and error
  SandboxRequest sandbox;       // each run's sandbox; none without a directory
  InteractorRequest interactor; // the judge's program beside the measured run; none without one
  const char* baseline;
  const char* measured;
};

// Whether the parent writes the measured run's status block: whenever a limit can end the
// measured run, so that it is written once, whenever the child's standard output is not
// where the report goes (a file, or the interactor's pipe), and when the report says what
// ended the run, which the parent alone decides.
bool parent_writes_status(const Invocation& run);

// The containers that the runs need: a process group under a wall limit or beside an
// interactor, a session of their own under --user, and the cgroups that the options ask for.
ContainerRequest containers_for(const Invocation& run);

// Reads phase1's arguments, its own name left out. --help, --version and every mistake are
// answered here, on standard output or standard error; then the status to exit with comes
// back instead of an Invocation.
std::variant<Invocation, int> read_command_line(std::span<char* const> args);
