// phase1: runs a baseline and a measured shell command under resource caps and reports, as
// key=value lines on standard output, how the measured command ended and what both runs used.

#include "limits.hpp"
#include "report.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::string_view HELP =
    R"(usage: phase1 CPU_SECONDS ADDRESS_SPACE_BYTES FILE_SIZE_BYTES BASELINE_COMMAND MEASURED_COMMAND
       phase1 --help | --version

Runs BASELINE_COMMAND, then MEASURED_COMMAND, each with /bin/sh -c under resource
caps, and reports how the measured command ended and what both runs used, as
key=value lines on standard output after the commands' own output.

Arguments:
  CPU_SECONDS          CPU-time cap of the measured run, in seconds of user plus
                       system time; the baseline run always has a one-second cap
  ADDRESS_SPACE_BYTES  virtual address-space cap of both runs, in bytes
  FILE_SIZE_BYTES      largest file the measured run may write, in bytes
  BASELINE_COMMAND     shell command run first, for comparison
  MEASURED_COMMAND     shell command measured and reported on
Caps are decimal integers; text after the digits is ignored (64m is 64 bytes)
and -1 means no cap. Arguments after the fifth are ignored.

Exit status:
  0    the report was written, whatever the commands did
  125  phase1 itself failed: too few arguments, a cap that is not a 64-bit
       decimal number, or the report could not be written

Every key of the report is described in phase1(1).
)";

// The first line of the help is the whole of the usage error.
constexpr std::string_view USAGE = HELP.substr(0, HELP.find('\n') + 1);

// Each is answered only as the sole argument: with five arguments or more, every one is a run's.
constexpr std::array<std::tuple<std::string_view, std::string_view, const char*>, 2> OPTIONS{{
    {"--help", HELP, "the help"},
    {"--version", "phase1 " PHASE1_VERSION "\n", "the version"},
}};

// The wrapper's own failure, as distinct from anything the commands did.
constexpr int EXIT_PHASE1_FAILED = 125;

// The three caps, then the baseline and the measured command; any more are ignored.
constexpr int ARGUMENTS = 5;

constexpr std::array<std::pair<const char*, std::int64_t RunLimits::*>, 3> CAP_ARGUMENTS{{
    {"CPU-time cap", &RunLimits::cpu_seconds},
    {"address-space cap", &RunLimits::address_space_bytes},
    {"file-size cap", &RunLimits::file_size_bytes},
}};

// Collects this child only: a process that exec'd us may have left children of its own.
// The record stays zeroed when there is no child or it cannot be collected.
rusage collect(pid_t pid) {
  rusage usage{};
  if (pid > 0) {
    while (wait4(pid, nullptr, 0, &usage) == -1 && errno == EINTR) {
    }
  }
  return usage;
}

// Both children end with _exit: every line they wrote is flushed already, and exit handlers
// would only add page faults of their own to the figures of the run.
rusage run_baseline(const RunLimits& limits, const char* command) {
  const pid_t pid = fork();
  if (pid == 0) {
    apply_cap(RLIMIT_CPU, BASELINE_CPU_SECONDS);
    apply_cap(RLIMIT_AS, limits.address_space_bytes);
    (void)std::system(command); // NOLINT(cert-env33-c): running it through the shell is the point
    _exit(0);
  }
  return collect(pid);
}

rusage run_measured(const RunLimits& limits, const char* command) {
  const pid_t pid = fork();
  if (pid == 0) {
    apply_cap(RLIMIT_CPU, limits.cpu_seconds);
    apply_cap(RLIMIT_AS, limits.address_space_bytes);
    apply_cap(RLIMIT_FSIZE, limits.file_size_bytes);
    write_status_block(std::cout, std::system(command)); // NOLINT(cert-env33-c): as above
    _exit(0);
  }
  // No child could be made: report it as system() itself would, so the report stays whole.
  if (pid < 0) write_status_block(std::cout, -1);
  return collect(pid);
}

// Success is claimed only once the text has reached standard output. Callers clear errno
// before they write, so that whatever it holds now came from the failed write.
int finish_writing(const char* what) {
  std::cout.flush();
  if (std::cout) return 0;
  const int error = errno;
  std::cerr << "phase1: cannot write " << what << (error != 0 ? ": " : "")
            << (error != 0 ? std::strerror(error) : "") << '\n';
  return EXIT_PHASE1_FAILED;
}

} // namespace

int main(int argc, char* argv[]) {
  for (const auto& [option, text, what] : OPTIONS) {
    if (argc == 2 && argv[1] == option) {
      errno = 0;
      std::cout << text;
      return finish_writing(what);
    }
  }
  if (argc <= ARGUMENTS) {
    std::cerr << USAGE;
    return EXIT_PHASE1_FAILED;
  }

  RunLimits limits{};
  for (std::size_t i = 0; i < CAP_ARGUMENTS.size(); ++i) {
    const auto& [name, field] = CAP_ARGUMENTS[i];
    const char* const text = argv[i + 1];
    const std::errc error = parse_limit(text, limits.*field);
    if (error != std::errc{}) {
      std::cerr << "phase1: argument " << i + 1 << " (" << name << ") \"" << text << "\": "
                << (error == std::errc::result_out_of_range ? "out of the signed 64-bit range"
                                                            : "not a decimal number")
                << '\n';
      return EXIT_PHASE1_FAILED;
    }
  }

  // Every report line is written whole and at once, so standard output needs no buffer, and
  // no process has to allocate one.
  (void)std::setvbuf(stdout, nullptr, _IONBF, 0);

  // An ignored SIGCHLD, inherited from our caller, would make every child uncollectable.
  (void)std::signal(SIGCHLD, SIG_DFL);

  const rusage ru_base = run_baseline(limits, argv[4]);
  const rusage ru_meas = run_measured(limits, argv[5]);

  errno = 0;
  write_usage_block(std::cout, ru_base, ru_meas);
  return finish_writing("the report");
}
