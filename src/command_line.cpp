#include "command_line.hpp"

#include "report.hpp"
#include "say.hpp"

#include <algorithm>
#include <array>
#include <iostream>
#include <string_view>

namespace {

constexpr std::string_view HELP =
    R"(usage: phase1 CPU_SECONDS ADDRESS_SPACE_BYTES FILE_SIZE_BYTES BASELINE_COMMAND MEASURED_COMMAND
       phase1 [OPTION]... [--] CPU_SECONDS ADDRESS_SPACE_BYTES FILE_SIZE_BYTES
              BASELINE_COMMAND MEASURED_COMMAND
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

Options come first, each as --NAME=VALUE or --NAME VALUE; they end at "--" or
at the first argument that does not start with "--":
  --wall-limit=SECONDS  end each run, with its whole process group, once it has
                        taken SECONDS of elapsed time (a positive decimal number,
                        such as 2 or 0.5), and leave nothing of a run behind it
  --processes=N         cap the measured run at N processes, the shell included
                        and phase1's not (1 to 4194303, or -1 for no cap): with
                        cgroups, those of the run itself (pids.max); without,
                        those of its user (RLIMIT_NPROC; root is not bound);
                        threads count as processes (give Java 64 or more)
  --output=FILE         write the whole report to FILE, created (mode 0644) or
                        truncated, and leave standard output to the commands
  --extended            add nine keys after ppid=: basewall=, wall= (elapsed
                        seconds), basemaxrss=, maxrss= (peak resident KiB),
                        timedout= (1 if the wall limit ended the run),
                        basestatus= (the baseline's wait status), ended= (what
                        ended the measured run, a word: exit, signal, cpu-cap,
                        file-size-cap, wall-limit, cpu-limit, memory-limit or
                        none), outbytes= and errbytes= (the sizes of the
                        --stdout and --stderr files, or -1)
  --stdin=FILE          the measured run's standard input; the baseline's is
                        then /dev/null
  --stdout=FILE         the measured run's standard output, created or truncated;
                        phase1's own then carries the baseline's and the report
  --stderr=FILE         the measured run's standard error (the same FILE as
                        --stdout shares it, as 2>&1 would)
  --format=FORMAT       keyvalue (the default), or json: the same keys and values
                        as one JSON object on one line
  --user=USER           run the commands as USER, a name or a uid from
                        /etc/passwd, with its groups from /etc/group, in a
                        session of their own with no capability; the run's
                        files are opened as USER would open them; needs root
  --memory-limit=BYTES  limit the memory of each run, all its processes
                        together (memory.max, no swap); BYTES may end in K, M,
                        G or T (powers of 1024), and -1 is no limit
  --cpu-limit=SECONDS   end the measured run once all its processes together
                        have used SECONDS of CPU time (such as 2 or 0.5)
  --cgroup=DIR          make the runs' cgroups in the cgroup v2 directory DIR
                        rather than in phase1's own cgroup
  --sandbox=DIR         run each command in a sandbox of its own: DIR as /box,
                        its one writable directory; /usr, /etc and /bin, /lib...
                        read-only; its own /tmp, /dev and /proc; no network, no
                        other process, no capability, and a seccomp filter; as
                        root it needs --user, as a user it needs user namespaces
  --bind=PATH           with --sandbox, show the host's PATH (absolute) too,
                        read-only; may be given more than once
  --share-network       with --sandbox, keep the host's network
  --interactor=COMMAND  run COMMAND beside the measured run, through /bin/sh -c,
                        as phase1's user and outside every limit: the program's
                        standard output is its input, and its output the
                        program's input; three keys then follow the report:
                        interactorstatus=, interactorwall= and firstended=
                        (program or interactor)
  --transcript=FILE     with --interactor, relay the two through phase1 and
                        write each chunk to FILE: "> N" (program to interactor)
                        or "< N", a newline, the N bytes, a newline
  --interactor-grace=SECONDS
                        how long the interactor may go on once the measured
                        run has ended: 0 or more, 1 by default
With --memory-limit, --cpu-limit or --cgroup each run has a cgroup v2 cgroup of
its own, which nothing of the run outlives, and six keys follow the report:
basetreetime=, treetime= (CPU seconds of all processes), basetreepeak=,
treepeak= (peak memory in KiB, -1 if not known), oomkilled= and cpulimited= (1
if the memory or the CPU limit ended the measured run).

Exit status:
  0    the whole report was written, whatever the commands did
  125  phase1 itself failed: too few arguments, a cap that is not a 64-bit
       decimal number, an unknown option or one whose value does not parse,
       a file, user or cgroup that cannot be used (nothing is then run,
       created or emptied), a run that cannot be born in its cgroup, or a
       report that could not be written whole

Every key of the report is described in phase1(1).
)";

// The first line of the help is the whole of the usage error.
constexpr std::string_view USAGE = HELP.substr(0, HELP.find('\n') + 1);

struct Answer {
  std::string_view argument;
  std::string_view text;
  const char* what;
};

// Each is answered only as the sole argument: anywhere else it is taken as a run's argument.
constexpr std::array<Answer, 2> ANSWERS{{
    {"--help", HELP, "the help"},
    {"--version", "phase1 " PHASE1_VERSION "\n", "the version"},
}};

// What is said of a number that does not parse, and of one that is too large.
struct Refusals {
  const char* invalid;
  const char* too_large;
};

constexpr Refusals DECIMAL{"not a decimal number", "out of the signed 64-bit range"};

// The three caps, then the baseline and the measured command; any more are ignored.
constexpr std::size_t ARGUMENTS = 5;

constexpr std::array<std::pair<const char*, std::int64_t RunLimits::*>, 3> CAP_ARGUMENTS{{
    {"CPU-time cap", &RunLimits::cpu_seconds},
    {"address-space cap", &RunLimits::address_space_bytes},
    {"file-size cap", &RunLimits::file_size_bytes},
}};

struct Option {
  std::string_view name;
  bool takes_value;
  Refusals refusals;
  // Leaves `run` alone on error. A value ends where its argument does, so it is a C string.
  std::errc (*set)(std::string_view value, Invocation& run);
};

constexpr Refusals SECONDS{"not a positive number of seconds", "more seconds than phase1 can time"};

// Sets `bound` of the run from a number of seconds.
template <std::optional<std::chrono::nanoseconds> Bounds::*bound, bool CGROUPS>
std::errc set_seconds(std::string_view value, Invocation& run) {
  std::chrono::nanoseconds limit{};
  const std::errc error = parse_seconds(value, limit);
  if (error != std::errc{}) return error;
  run.bounds.*bound = limit;
  run.cgroups.wanted = run.cgroups.wanted || CGROUPS;
  return error;
}

// Sets a name, of the run or of one of its files, that may not be empty.
template <const char* Invocation::*field>
std::errc set_name(std::string_view value, Invocation& run) {
  if (value.empty()) return std::errc::invalid_argument;
  run.*field = value.data();
  return {};
}
// The same for `field` of the run's part `part`: its files, its sandbox, its interactor.
template <auto part, auto field> std::errc set_part_name(std::string_view value, Invocation& run) {
  if (value.empty()) return std::errc::invalid_argument;
  (run.*part).*field = value.data();
  return {};
}

constexpr Refusals NAME{"not a file name", ""};

// Reads a grace of 0 or more seconds: as parse_seconds reads a limit, and 0 as well.
std::errc parse_grace(std::string_view text, std::chrono::nanoseconds& value) {
  const std::errc error = parse_seconds(text, value);
  const bool zero = text.find_first_not_of("0.") == std::string_view::npos &&
                    std::count(text.begin(), text.end(), '.') <= 1 &&
                    text.find('0') != std::string_view::npos;
  if (error != std::errc::invalid_argument || !zero) return error;
  value = std::chrono::nanoseconds::zero();
  return {};
}

constexpr std::array<Option, 18> OPTIONS{{
    {"--wall-limit", true, SECONDS, set_seconds<&Bounds::wall, false>},
    {"--cpu-limit", true, SECONDS, set_seconds<&Bounds::cpu, true>},
    {"--memory-limit",
     true,
     {"not a positive number of bytes, with K, M, G or T, or -1", "more bytes than 2^63 - 1"},
     [](std::string_view value, Invocation& run) {
       const std::errc error = parse_bytes(value, run.cgroups.memory_bytes);
       if (error == std::errc{}) run.cgroups.wanted = true;
       return error;
     }},
    {"--user", true, {"not a user name or number", ""}, set_name<&Invocation::user>},
    {"--stdin", true, NAME, set_part_name<&Invocation::files, &FileNames::in>},
    {"--stdout", true, NAME, set_part_name<&Invocation::files, &FileNames::out>},
    {"--stderr", true, NAME, set_part_name<&Invocation::files, &FileNames::err>},
    {"--format",
     true,
     {"neither keyvalue nor json", ""},
     [](std::string_view value, Invocation& run) {
       if (value != "keyvalue" && value != "json") return std::errc::invalid_argument;
       run.format = value == "json" ? Format::json : Format::keyvalue;
       return std::errc{};
     }},
    {"--cgroup",
     true,
     {"not a directory name", ""},
     [](std::string_view value, Invocation& run) {
       if (value.empty()) return std::errc::invalid_argument;
       run.cgroups = {true, value.data(), run.cgroups.memory_bytes};
       return std::errc{};
     }},
    {"--processes",
     true,
     {"not a number of processes from 1 up, or -1",
      "more processes than the kernel can count: the largest is 4194303"},
     [](std::string_view value, Invocation& run) {
       std::int64_t cap = 0;
       const std::errc error = parse_processes(value, cap);
       if (error == std::errc{}) run.limits.processes = cap;
       return error;
     }},
    {"--output", true, NAME, set_name<&Invocation::output>},
    {"--sandbox", true, NAME, set_part_name<&Invocation::sandbox, &SandboxRequest::dir>},
    {"--bind",
     true,
     {"not an absolute path", ""},
     [](std::string_view value, Invocation& run) {
       if (!value.starts_with('/')) return std::errc::invalid_argument;
       run.sandbox.binds.push_back(value.data());
       return std::errc{};
     }},
    {"--share-network",
     false,
     {},
     [](std::string_view /*value*/, Invocation& run) {
       run.sandbox.share_network = true;
       return std::errc{};
     }},
    {"--interactor",
     true,
     {"not a command", ""},
     set_part_name<&Invocation::interactor, &InteractorRequest::command>},
    {"--transcript", true, NAME, set_part_name<&Invocation::files, &FileNames::transcript>},
    {"--interactor-grace",
     true,
     {"not a number of seconds, 0 or more", "more seconds than phase1 can time"},
     [](std::string_view value, Invocation& run) {
       std::chrono::nanoseconds grace{};
       const std::errc error = parse_grace(value, grace);
       if (error == std::errc{}) run.interactor.grace = grace;
       return error;
     }},
    {"--extended",
     false,
     {},
     [](std::string_view /*value*/, Invocation& run) {
       run.extended = true;
       return std::errc{};
     }},
}};

const char* refusal(std::errc error, const Refusals& refusals) {
  return error == std::errc::result_out_of_range ? refusals.too_large : refusals.invalid;
}

// The option given that means nothing without --sandbox, if any.
const char* without_sandbox(const SandboxRequest& sandbox) {
  if (sandbox.dir != nullptr) return nullptr;
  if (sandbox.share_network) return "--share-network";
  return sandbox.binds.empty() ? nullptr : "--bind";
}

// The option given that means nothing without --interactor, or that --interactor rules out.
const char* without_interactor(const Invocation& run) {
  if (run.interactor.command != nullptr) return nullptr;
  if (run.files.transcript != nullptr) return "--transcript";
  return run.interactor.grace ? "--interactor-grace" : nullptr;
}

// Whether the options given go together; says why not.
bool combine(const Invocation& run) {
  if (const char* orphan = without_sandbox(run.sandbox)) {
    return (say(orphan, " needs --sandbox"), false);
  }
  if (const char* orphan = without_interactor(run)) {
    return (say(orphan, " needs --interactor"), false);
  }
  if (run.interactor.command != nullptr && (run.files.in != nullptr || run.files.out != nullptr)) {
    return (say("--interactor joins the program's standard input and output to the "
                "interactor: --stdin and --stdout cannot be given with it"),
            false);
  }
  return true;
}

// Options end at the first argument that is not one; --help and --version are not options.
bool is_option(std::string_view arg) {
  return arg.starts_with("--") &&
         std::none_of(ANSWERS.begin(), ANSWERS.end(), [&](auto& a) { return a.argument == arg; });
}

} // namespace

bool parent_writes_status(const Invocation& run) {
  const bool limited = run.bounds.wall || run.bounds.cpu || run.cgroups.memory_bytes >= 0;
  return limited || run.output != nullptr || run.files.out != nullptr ||
         run.format == Format::json || run.extended || run.interactor.command != nullptr;
}

ContainerRequest containers_for(const Invocation& run) {
  const bool grouped = run.bounds.wall || run.interactor.command != nullptr;
  const Grouping grouping = run.user != nullptr ? Grouping::session
                            : grouped           ? Grouping::group
                                                : Grouping::none;
  return {grouping, run.cgroups, run.limits.processes, run.sandbox.dir != nullptr};
}

std::variant<Invocation, int> read_command_line(std::span<char* const> args) {
  for (const Answer& answer : ANSWERS) {
    if (args.size() == 1 && args[0] == answer.argument) {
      return write_checked(answer.what, [&](std::ostream& out) { out << answer.text; });
    }
  }

  Invocation run{};
  std::size_t next = 0;
  for (; next < args.size() && is_option(args[next]); ++next) {
    const std::string_view arg = args[next];
    if (arg == "--") {
      ++next;
      break;
    }
    const auto equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const auto* const option = std::find_if(OPTIONS.begin(), OPTIONS.end(),
                                            [&](const Option& o) { return o.name == name; });
    if (option == OPTIONS.end()) return fail("unknown option ", name);
    std::string_view value;
    if (!option->takes_value) {
      if (equals != std::string_view::npos) return fail("option ", name, " takes no value");
    } else if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (next + 1 < args.size()) {
      value = args[++next];
    } else {
      return fail("option ", name, " needs a value");
    }
    const std::errc error = option->set(value, run);
    if (error != std::errc{}) {
      return fail("option ", name, " \"", value, "\": ", refusal(error, option->refusals));
    }
  }

  if (!combine(run)) return EXIT_PHASE1_FAILED;
  const auto positional = args.subspan(next);
  if (positional.size() < ARGUMENTS) {
    std::cerr << USAGE;
    return EXIT_PHASE1_FAILED;
  }
  for (std::size_t i = 0; i < CAP_ARGUMENTS.size(); ++i) {
    const auto& [name, field] = CAP_ARGUMENTS[i];
    const std::errc error = parse_limit(positional[i], run.limits.*field);
    if (error != std::errc{}) {
      return fail("argument ", i + 1, " (", name, ") \"", positional[i],
                  "\": ", refusal(error, DECIMAL));
    }
  }
  run.baseline = positional[3];
  run.measured = positional[4];
  return run;
}
