// End-to-end runs of the built binary, each checked against the whole of what it prints.
#include "e2e.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::string out;             // pattern for all of standard output; "PID" stands for phase1's pid
  int exit_code = 0;           // negative: killed by that signal
  std::string err{};           // pattern for all of standard error
  std::string input{};         // standard input
  void (*prepare)() = nullptr; // runs in the child just before exec, with 0, 1 and 2 in place
  void (*during)(pid_t) = nullptr; // runs in the test while phase1 runs, given its pid
  std::string report{};            // pattern for all of the file REPORT; "" when there is none
};

// The file for --output: it is read, and removed, after every case.
const std::string REPORT = "/tmp/phase1-test-report-" + std::to_string(getpid());

// "PID" in `pattern` stands for phase1's pid.
void expect_match(const char* name, const std::string& got, std::string pattern, pid_t pid) {
  const auto at = pattern.find("PID");
  if (at != std::string::npos) pattern.replace(at, 3, std::to_string(pid));
  EXPECT_TRUE(std::regex_match(got, std::regex(pattern))) << name << ":\n" << got;
}

void check(const Case& c) {
  const Launch got = launch(c.args, c.input, c.prepare, c.during);
  expect_no_nappers(c.name);
  const std::string got_report = contents(open(REPORT.c_str(), O_RDONLY));
  unlink(REPORT.c_str());
  EXPECT_EQ(got.exit_code, c.exit_code) << c.name;
  expect_match(c.name, got.out, c.out, got.pid);
  expect_match(c.name, got.err, c.err, got.pid);
  expect_match(c.name, got_report, c.report, got.pid);
}

// The status block with these eight values.
std::string status(const std::string& values) {
  std::istringstream in(values);
  std::string block;
  std::string value;
  for (const char* key : {"childstatus", "WIFSIGNALED", "WTERMSIG", "WEXITSTATUS", "WIFEXITED",
                          "WCOREDUMP", "WSTOPSIG", "WIFSTOPPED"}) {
    in >> value;
    block += std::string(key) + "=" + value + "\n";
  }
  return block;
}

const std::string SECONDS = "(0|[0-9]+(\\.[0-9]+)?|[0-9.]+e-0[5-9])";
// A run ended at a one-second CPU cap: the kernel and rusage count CPU time a little apart,
// and far apart on a loaded machine (0.76 seen with two CI runs side by side).
const std::string ONE_SECOND = "(0\\.[5-9][0-9]*|1(\\.[0-4][0-9]*)?)";

std::string usage(const std::string& basetime = SECONDS, const std::string& time = SECONDS,
                  const std::string& faults = "[1-9][0-9]*") {
  return "basetime=" + basetime + "\ntime=" + time + "\nbasemem=" + faults + "\nmem=" + faults +
         "\npagesize=" + std::to_string(getpagesize()) +
         "\nru_majflt=[0-9]+\npid=PID\nppid=" + std::to_string(getpid()) + "\n";
}

// The extended block's patterns, each as a run that exits by itself with no file of its own
// shows it; a peak resident set of at least a page.
struct Extended {
  std::string wall = SECONDS;
  std::string maxrss = "[1-9][0-9]*";
  std::string timedout = "0";
  std::string basestatus = "0";
  std::string ended = "exit";
  std::string outbytes = "-1";
  std::string errbytes = "-1";
};

std::string extended(const Extended& e = {}) {
  return "basewall=" + SECONDS + "\nwall=" + e.wall +
         "\nbasemaxrss=[1-9][0-9]*\nmaxrss=" + e.maxrss + "\ntimedout=" + e.timedout +
         "\nbasestatus=" + e.basestatus + "\nended=" + e.ended + "\noutbytes=" + e.outbytes +
         "\nerrbytes=" + e.errbytes + "\n";
}

const std::string OK = status("0 0 0 0 1 0 0 0");
const std::string LIMITS = "grep -E '^Max (cpu time|address space|file size)' /proc/self/limits"
                           " | tr -s ' ' | sed 's/ $//'";

const std::string LOOP = "while :; do :; done";
// Writes 5000 bytes to a file, and prints how many of them it holds.
const std::string PAST_THE_CAP =
    "exec 2>&-; f=$(mktemp); head -c 5000 /dev/zero >$f; s=$?; wc -c <$f; rm $f; exit $s";
const std::string SHORT_LOOP = "i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done";
const std::string CPU_LIMIT = "grep '^Max cpu time' /proc/self/limits | tr -s ' ' | sed 's/ $//'";

// Address space cannot be capped under AddressSanitizer: its shadow memory alone is larger than
// any sensible cap. Those runs are checked in the other builds, never with a looser cap.
#ifdef PHASE1_UNDER_ASAN
constexpr bool UNDER_ASAN = true;
#else
constexpr bool UNDER_ASAN = false;
#endif

TEST(EndToEnd, ReportsHowTheCommandEnded) {
  const Case cases[] = {
      {"output order",
       {"10", "-1", "-1", "echo base", "printf meas", "extra"},
       "base\nmeas" + OK + usage()},
      {"empty commands", {"10", "-1", "-1", "", ""}, OK + usage()},
      {"--extended: the wall time of a sleep",
       {"--extended", "10", "-1", "-1", "true", "sleep 0.3"},
       OK + usage() + extended({.wall = "0\\.[3-9][0-9]*"})},
      {"--extended: the peak resident set of 50 MiB touched, in KiB, 50 to 60 MiB",
       {"--extended", "10", "-1", "-1", "true",
        "dd if=/dev/zero of=/dev/null bs=50M count=1 2>/dev/null"},
       OK + usage() +
           extended({.maxrss = "((51[2-9]|5[2-9][0-9]|60[0-9]|61[0-3])[0-9]{2}|6143[0-9])"})},
      {"exit code", {"10", "-1", "-1", "true", "exit 3"}, status("768 0 0 3 1 0 3 0") + usage()},
      {"signal", {"10", "-1", "-1", "true", "kill -9 $$"}, status("9 1 9 0 0 0 0 0") + usage()},
      {"standard input shared",
       {"10", "-1", "-1", "read -r line", "cat"},
       "two\n" + OK + usage(),
       0,
       "",
       "one\ntwo\n"},
  };
  for (const auto& c : cases) check(c);
}

TEST(EndToEnd, EnforcesTheCpuAndFileSizeCaps) {
  const Case cases[] = {
      {"baseline reaches its CPU cap, the measured run goes ahead",
       {"5", "-1", "-1", LOOP, "echo ran"},
       "ran\n" + OK + usage(ONE_SECOND, SECONDS)},
      {"measured run reaches its CPU cap",
       {"1", "-1", "-1", "true", LOOP},
       status("9 1 9 0 0 0 0 0") + usage(SECONDS, ONE_SECOND)},
      {"write stopped at the file-size cap",
       {"10", "-1", "1000", "true", PAST_THE_CAP},
       "1000\n" + status("39168 0 0 153 1 0 153 0") + usage()},
      {"a CPU cap the kernel would wrap is held at its largest",
       {"18446744074", "-1", "-1", "true", SHORT_LOOP + "; " + CPU_LIMIT},
       "Max cpu time 18446744073 18446744073 seconds\n" + OK + usage()},
      {"so is the most negative cap",
       {"--", "-9223372036854775808", "-1", "-1", "true", SHORT_LOOP + "; " + CPU_LIMIT},
       "Max cpu time 18446744073 18446744073 seconds\n" + OK + usage()},
      {"no caps",
       {"-1", "-1", "-1", "true", LIMITS},
       "Max cpu time unlimited unlimited seconds\nMax file size unlimited unlimited bytes\n"
       "Max address space unlimited unlimited bytes\n" +
           OK + usage()},
  };
  for (const auto& c : cases) check(c);
}

TEST(EndToEnd, EnforcesTheAddressSpaceCap) {
  if (UNDER_ASAN) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space cap";
  const Case cases[] = {
      {"allocation refused",
       {"10", "100000000", "-1", "true", "dd if=/dev/zero of=/dev/null bs=200M count=1 2>&-"},
       status("256 0 0 1 1 0 1 0") + usage()},
      {"too little address space to start the shell",
       {"10", "65536", "-1", "echo base", "echo meas"},
       status("32512 0 0 127 1 0 127 0") + usage()},
      {"caps as the commands see them",
       {"7", "123456789", "1000000", LIMITS, LIMITS},
       "Max cpu time 1 1 seconds\nMax file size 50000000 50000000 bytes\n"
       "Max address space 123456789 123456789 bytes\n"
       "Max cpu time 7 7 seconds\nMax file size 1000000 1000000 bytes\n"
       "Max address space 123456789 123456789 bytes\n" +
           OK + usage(),
       0,
       "",
       "",
       [] {
         const rlimit inherited{50000000, 50000000};
         setrlimit(RLIMIT_FSIZE, &inherited);
       }},
  };
  for (const auto& c : cases) check(c);
}

TEST(EndToEnd, KeepsTheReportWholeWhateverItInherits) {
  const Case cases[] = {
      {"SIGCHLD ignored by the caller",
       {"10", "-1", "-1", "true", "exit 3"},
       status("768 0 0 3 1 0 3 0") + usage(),
       0,
       "",
       "",
       [] { (void)signal(SIGCHLD, SIG_IGN); }},
      {"a child left by the caller",
       {"10", "-1", "-1", "true", "sleep 0.3; echo late"},
       "late\n" + OK + usage(),
       0,
       "",
       "",
       [] {
         if (fork() == 0) _exit(0);
       }},
      {"status block cut at the file-size cap",
       {"10", "-1", "10", "true", "true"},
       "childstatu" + usage(),
       125,
       "phase1: no whole status block: the measured child was killed by signal 25\n"},
      {.name = "no room at all for the status block",
       .args = {"10", "-1", "0", "true", "echo hi"},
       .out = usage(),
       .exit_code = 125,
       .err = "phase1: no whole status block: the measured child was killed by signal 25\n"},
      {.name = "the measured child killed before its status block",
       .args = {"10", "-1", "-1", "true", "kill -9 $PPID"},
       .out = usage(),
       .exit_code = 125,
       .err = "phase1: no whole status block: the measured child was killed by signal 9\n"},
      {.name = "--output: the report whole in its file, beyond the file-size cap",
       .args = {"--output", REPORT, "10", "-1", "0", "true", "echo hi"},
       .out = "",
       .report = status("25 1 25 0 0 0 0 0") + usage()},
      {.name = "--output: never a status block the child did not hand over",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "true", "kill -9 $PPID"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: no whole status block: the measured child was killed by signal 9\n",
       .report = usage()},
      {.name = "--output: standard output is the commands' alone",
       .args = {"--output=" + REPORT, "--extended", "10", "-1", "-1", "echo base", "echo meas"},
       .out = "base\nmeas\n",
       .report = OK + usage() + extended()},
      {.name = "--output to a full device",
       .args = {"--output=/dev/full", "10", "-1", "-1", "true", "echo ran"},
       .out = "ran\n",
       .exit_code = 125,
       .err = "phase1: cannot write the report to /dev/full: No space left on device\n"},
      {"standard output full",
       {"10", "-1", "-1", "true", "true"},
       "",
       125,
       "phase1: cannot write the report: No space left on device\n",
       "",
       [] { dup2(open("/dev/full", O_WRONLY), 1); }},
      {"standard output closed, and no --output: refused before anything runs",
       {"10", "-1", "-1", "true", "touch " + REPORT},
       "",
       125,
       "phase1: standard output is closed, and no --output names a file for the report\n",
       "",
       [] { close(1); }},
      {.name = "standard input closed: the commands read /dev/null",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "true", "cat; echo rc=$?"},
       .out = "rc=0\n",
       .prepare = [] { close(0); },
       .report = OK + usage()},
  };
  for (const auto& c : cases) check(c);
}

TEST(EndToEnd, ContainsTheRunUnderAWallLimit) {
  const std::string nap = "sleep " + NAP;
  const Case cases[] = {
      {"the measured run reaches the limit: phase1 reports the child's SIGKILL",
       {"--wall-limit=0.5", "--extended", "10", "-1", "-1", "true", nap},
       status("9 1 9 0 0 0 0 0") + usage() +
           extended({.wall = "0\\.[5-9][0-9]*", .timedout = "1", .ended = "wall-limit"})},
      {"the baseline reaches the limit, and the measured run goes ahead",
       {"--wall-limit", "0.5", "10", "-1", "-1", nap, "echo ran"},
       "ran\n" + OK + usage()},
      {"a process left in the background is killed when the run ends",
       {"--wall-limit=60", "10", "-1", "-1", "true", nap + " & echo hi"},
       "hi\n" + OK + usage()},
      {.name = "Ctrl-C without a wall limit reaches the command through the terminal's group",
       .args = {"10", "-1", "-1", "true", nap},
       .out = status("2 1 2 0 0 0 0 0") + usage(),
       .prepare = [] { setpgid(0, 0); },
       .during = signal_napping<SIGINT, true>},
      {.name = "SIGINT to phase1 is passed on to a contained run",
       .args = {"--wall-limit=60", "10", "-1", "-1", "true", nap},
       .out = status("2 1 2 0 0 0 0 0") + usage(),
       .during = signal_napping<SIGINT, false>},
      {.name = "SIGTERM to phase1 ends the run's group, then phase1",
       .args = {"--wall-limit=60", "10", "-1", "-1", "true", nap + " & " + nap},
       .out = "",
       .exit_code = -SIGTERM,
       .during = signal_napping<SIGTERM, false>},
      {.name = "SIGKILL to phase1: the run's group ends itself",
       .args = {"--wall-limit=60", "10", "-1", "-1", "true", nap + " & " + nap},
       .out = "",
       .exit_code = -SIGKILL,
       .during = signal_napping<SIGKILL, false>},
  };
  for (const auto& c : cases) check(c);
}

// Blocks `SIG` in the child, as a caller might.
template <int SIG> void blocked() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIG);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

// phase1's pid, as the measured command finds it: the parent of its shell's parent.
const std::string PHASE1_PID = "$(cut -d' ' -f4 /proc/$PPID/stat)";

// The parent of process `pid`.
pid_t parent_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  for (int i = 0; i < 4; ++i) stat >> field;
  return std::stoi(field);
}

TEST(EndToEnd, HoldsAgainstWhatACommandOrACallerDoes) {
  const std::string nap = "sleep " + NAP;
  const std::string fifo = REPORT + ".fifo";
  mkfifo(fifo.c_str(), 0600);
  const Case cases[] = {
      {.name = "--output replaced by the command: phase1 says so",
       .args = {"--wall-limit=5", "--output=" + REPORT, "2", "-1", "-1", "true",
                "rm -f " + REPORT + "; printf 'childstatus=0\\n' > " + REPORT +
                    "; exec kill -SEGV $$"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: " + REPORT +
              " is no longer the report's file: it was removed or replaced during the run\n",
       .report = "childstatus=0\n"},
      {.name = "--output padded by the command: the file is cut to the report",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "true",
                "yes '' | head -400 > " + REPORT + "; echo childstatus=0 >> " + REPORT},
       .out = "",
       .report = OK + usage()},
      {.name = "--output left over from an earlier run is emptied before anything runs",
       .args = {"--output=" + REPORT, "--wall-limit=60", "10", "-1", "-1", "true", nap},
       .out = "",
       .exit_code = -SIGTERM,
       .prepare = [] { std::ofstream(REPORT) << "childstatus=0\n"; },
       .during = signal_napping<SIGTERM, false>},
      {.name = "--output is no descriptor of the commands'",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "true",
                "for f in /proc/$$/fd/*; do readlink $f; done | grep -c " + REPORT + " || true"},
       .out = "0\n",
       .report = OK + usage()},
      {.name = "--output to a FIFO without a reader: refused at once",
       .args = {"--output=" + fifo, "--wall-limit=1", "10", "-1", "-1", "echo ran", "echo ran"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot open " + fifo + ": No such device or address\n"},
      {.name = "--output that is standard output already: refused",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "echo ran", "echo ran"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: --output " + REPORT + " is standard output, where the commands write\n",
       .prepare = [] { dup2(open(REPORT.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1); }},
      {.name = "phase1's own file-size limit is a write error, not a silent death",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "true", "true"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot write the report to " + REPORT + ": File too large\n",
       .prepare =
           [] {
             const rlimit small{100, 100};
             setrlimit(RLIMIT_FSIZE, &small);
           },
       .report = "childstatus=0\n[\\s\\S]{86}"},
      {.name = "SIGALRM from the command is no timeout",
       .args = {"--extended", "--wall-limit=100", "10", "-1", "-1", "true",
                "kill -ALRM " + PHASE1_PID + "; sleep 0.2"},
       .out = OK + usage() + extended()},
      {.name = "SIGALRM blocked by the caller: the wall limit holds",
       .args = {"--extended", "--wall-limit=0.3", "10", "-1", "-1", "true", nap},
       .out =
           status("9 1 9 0 0 0 0 0") + usage() + extended({.timedout = "1", .ended = "wall-limit"}),
       .prepare = blocked<SIGALRM>},
      {.name = "SIGTERM blocked by the caller: SIGKILL to phase1 still ends the run",
       .args = {"--wall-limit=60", "10", "-1", "-1", "true", nap + " & " + nap},
       .out = "",
       .exit_code = -SIGKILL,
       .prepare = blocked<SIGTERM>,
       .during = signal_napping<SIGKILL, false>},
      {.name = "SIGXFSZ blocked by the caller: the file-size cap still kills",
       .args = {"10", "-1", "1000", "true", PAST_THE_CAP},
       .out = "1000\n" + status("39168 0 0 153 1 0 153 0") + usage(),
       .prepare = blocked<SIGXFSZ>},
      {.name = "SIGHUP ignored by the caller stays ignored, for the command too",
       .args = {"--wall-limit=60", "10", "-1", "-1", "true", "grep SigIgn /proc/self/status"},
       .out = "SigIgn:\t[0-9a-f]*[13579bdf]\n" + OK + usage(), // SIGHUP is bit 0
       .prepare = [] { (void)signal(SIGHUP, SIG_IGN); }},
  };
  for (const auto& c : cases) check(c);
  unlink(fifo.c_str());

  // A command that makes the shared standard output non-blocking and fills its pipe: the
  // status block waits for the reader, here a second late, and is written whole.
  binary = "/bin/sh";
  check({"a non-blocking standard output",
         {"-c", R"({ "$0" 10 -1 -1 true "$1"; echo exit=$? >&2; } | { sleep 1; tr -d x; })",
          PHASE1_BINARY,
          "python3 -c \"import fcntl, os; fcntl.fcntl(1, fcntl.F_SETPIPE_SZ, 4096); "
          "fcntl.fcntl(1, fcntl.F_SETFL, os.O_NONBLOCK); os.write(1, b'x' * 4000)\""},
         OK + "basetime=[^\n]+\ntime=[\\s\\S]+\n",
         0,
         "exit=0\n"});
  // As the first process of a PID namespace, as a container's entrypoint.
  if (geteuid() == 0) {
    binary = "/usr/bin/unshare";
    check(
        {.name = "phase1 as PID 1 ends with 128 + SIGTERM, and no report",
         .args = {"-pf", PHASE1_BINARY, "--wall-limit=60", "10", "-1", "-1", "true", "exec " + nap},
         .out = "",
         .exit_code = 128 + SIGTERM,
         .during = [](pid_t) {
           ASSERT_TRUE(eventually([] { return !nappers().empty(); }));
           kill(parent_of(parent_of(nappers()[0])), SIGTERM);
         }});
  }
  binary = PHASE1_BINARY;
}

// phase1 killed after its fork and before the child asks for its parent-death signal, made
// certain by a tracer that holds the new child at its birth: the child must not run on.
TEST(EndToEnd, EndsAChildWhoseParentDiedAtItsBirth) {
  const pid_t pid = fork();
  if (pid == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    (void)raise(SIGSTOP);
    execl(binary, binary, "--wall-limit=60", "10", "-1", "-1", ("sleep " + NAP).c_str(), "true",
          nullptr);
    _exit(126);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEFORK);
  ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  // Stops at exec, then at the fork of the baseline's child.
  while (waitpid(pid, &status, 0) == pid && status >> 8 != (SIGTRAP | (PTRACE_EVENT_FORK << 8))) {
    ASSERT_TRUE(WIFSTOPPED(status));
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  }
  unsigned long child = 0;
  ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &child);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  // The child starts traced and stopped; let it go now that its parent is gone.
  waitpid(static_cast<pid_t>(child), &status, __WALL);
  ptrace(PTRACE_DETACH, static_cast<pid_t>(child), nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  expect_no_nappers("a child born as phase1 died");
}

TEST(EndToEnd, RunsTheCommandsAsAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the commands as another user";
  // A directory that the command cannot write, for its report.
  char dir[] = "/tmp/phase1-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string report = std::string(dir) + "/report";
  const Case cases[] = {
      {.name = "--user=nobody: its ids, no signal to phase1, and a report it cannot touch",
       .args = {"--user=nobody", "--output=" + report, "10", "-1", "-1", "id -u",
                "id; kill -STOP " + PHASE1_PID + " 2>&-; echo stop=$?; (echo forged > " + report +
                    ") 2>&-; echo write=$?"},
       .out = "65534\nuid=65534\\(nobody\\) gid=65534\\(nogroup\\) groups=65534\\(nogroup\\)\n"
              "stop=1\nwrite=2\n"},
      {"a uid that /etc/passwd lacks: that uid, the same gid, no other groups",
       {"--user=4242", "10", "-1", "-1", "true", "id -u; id -g; id -G"},
       "4242\n4242\n4242\n" + OK + usage()},
      {"an unknown user: refused",
       {"--user=phase1-no-such-user", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: unknown user phase1-no-such-user \\(not in /etc/passwd\\)\n"},
      {.name = "--user: SIGINT to phase1 still reaches the command, in its session of its own",
       .args = {"--user=nobody", "10", "-1", "-1", "true", "sleep " + NAP},
       .out = status("2 1 2 0 0 0 0 0") + usage(),
       .during = signal_napping<SIGINT, false>},
  };
  for (const auto& c : cases) check(c);
  const std::string written = contents(open(report.c_str(), O_RDONLY));
  EXPECT_TRUE(written.starts_with(OK) && written.find("forged") == std::string::npos) << written;
  std::filesystem::remove_all(dir);
}

TEST(EndToEnd, GivesTheMeasuredRunItsFiles) {
  const std::string in = REPORT + ".in";
  std::ofstream(in) << "from the file\n";
  const Case cases[] = {
      {.name = "--stdin: the measured run reads the file, the baseline /dev/null",
       .args = {"--stdin=" + in, "10", "-1", "-1", "cat", "cat"},
       .out = "from the file\n" + OK + usage(),
       .input = "phase1's own\n"},
      {.name = "--stdout: the program's output in its file, the report on phase1's own",
       .args = {"--stdout", REPORT, "10", "-1", "-1", "echo base", "echo meas"},
       .out = "base\n" + OK + usage(),
       .report = "meas\n"},
      {.name = "--stdout and --stderr of one file share it, as 2>&1 would",
       .args = {"--stdout=" + REPORT, "--stderr=" + REPORT, "10", "-1", "-1", "true",
                "echo out; echo err >&2; echo out2"},
       .out = OK + usage(),
       .report = "out\nerr\nout2\n"},
      {.name = "--stdout: the file-size cap binds it, with no redirection",
       .args = {"--stdout=" + REPORT, "10", "-1", "10", "true", "echo 0123456789abcdef"},
       .out = status("25 1 25 0 0 0 0 0") + usage(),
       .report = "0123456789"},
      {.name = "--stdin that cannot be opened: nothing runs",
       .args = {"--stdin=/nonexistent/in", "10", "-1", "-1", "echo ran", "echo ran"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot open /nonexistent/in: No such file or directory\n"},
      {.name = "--stdout that is the report's file: refused",
       .args = {"--output=" + REPORT, "--stdout=" + REPORT, "10", "-1", "-1", "echo ran",
                "echo ran"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: " + REPORT + " is the report's file\n"},
      {.name = "basestatus=: a baseline killed at its one-second cap",
       .args = {"--extended", "10", "-1", "-1", LOOP, "true"},
       .out = OK + usage(ONE_SECOND) + extended({.basestatus = "9"})},
      {.name = "basestatus=: a baseline that is not found",
       .args = {"--extended", "10", "-1", "-1", "phase1-no-such-command", "true"},
       .out = OK + usage() + extended({.basestatus = "32512"}),
       .err = "sh: 1: phase1-no-such-command: not found\n"},
      {.name = "--format=json without a whole status block: no status keys",
       .args = {"--format=json", "10", "-1", "-1", "true", "kill -9 $PPID"},
       .out = "\\{\"basetime\":[^,]+,\"time\":[^{}]+,\"ppid\":[0-9]+\\}\n",
       .exit_code = 125,
       .err = "phase1: no whole status block: the measured child was killed by signal 9\n"},
  };
  for (const auto& c : cases) check(c);
  unlink(in.c_str());
}

// What ended the measured run, in one word, whatever the shell made of its program's death; and
// how much it wrote to its files.
TEST(EndToEnd, SaysWhatEndedTheRun) {
  const std::string file = REPORT + ".out";
  const std::string out = "--stdout=" + file;
  const std::string killed = status("9 1 9 0 0 0 0 0");
  const std::string loop = "sh -c '" + LOOP + "'; exit $?";
  const Case cases[] = {
      {"an exit of its own, whatever its code: exit",
       {"--extended", "10", "-1", "-1", "true", "exit 3"},
       status("768 0 0 3 1 0 3 0") + usage() + extended()},
      {"a signal, with exec: signal",
       {"--extended", "10", "-1", "-1", "true", "exec sh -c 'kill -SEGV $$'"},
       status("11 1 11 0 0 0 0 0") + usage() + extended({.ended = "signal"})},
      {"a signal, through the shell (exit 139): signal",
       {"--extended", "10", "-1", "-1", "true", "sh -c 'kill -SEGV $$'; exit $?"},
       status("35584 0 0 139 1 0 139 0") + usage() + extended({.ended = "signal"}),
       0,
       "Segmentation fault\n"},
      {"an exit of 130 reads as a signal",
       {"--extended", "10", "-1", "-1", "true", "exit 130"},
       status("33280 0 0 130 1 0 130 0") + usage() + extended({.ended = "signal"})},
      {"SIGKILL far below the CPU cap: signal",
       {"--extended", "2", "-1", "-1", "true", "kill -9 $$"},
       killed + usage() + extended({.ended = "signal"})},
      {"the CPU cap, with exec: cpu-cap",
       {"--extended", "2", "-1", "-1", "true", "exec " + loop},
       killed + usage() + extended({.ended = "cpu-cap"})},
      {"the CPU cap, through the shell (exit 137): cpu-cap",
       {"--extended", "2", "-1", "-1", "true", loop},
       status("35072 0 0 137 1 0 137 0") + usage() + extended({.ended = "cpu-cap"}),
       0,
       "Killed\n"},
      {"SIGXCPU at a lower soft cap, through the shell (exit 152): cpu-cap",
       {"--extended", "10", "-1", "-1", "true", "sh -c 'ulimit -St 1; " + LOOP + "'; exit $?"},
       status("38912 0 0 152 1 0 152 0") + usage() + extended({.ended = "cpu-cap"}),
       0,
       "CPU time limit exceeded\n"},
      {"the file-size cap, with exec: file-size-cap, and outbytes= at the cap",
       {"--extended", out, "10", "-1", "1000", "true", "exec head -c 5000 /dev/zero"},
       status("25 1 25 0 0 0 0 0") + usage() +
           extended({.ended = "file-size-cap", .outbytes = "1000"})},
      {"the file-size cap, through the shell (exit 153): file-size-cap",
       {"--extended", out, "10", "-1", "1000", "true", "head -c 5000 /dev/zero; exit $?"},
       status("39168 0 0 153 1 0 153 0") + usage() +
           extended({.ended = "file-size-cap", .outbytes = "1000"}),
       0,
       "File size limit exceeded\n"},
      {"a program that swallows EFBIG and exits 0: outbytes= still shows the cap",
       {"--extended", out, "10", "-1", "1000", "true",
        "trap '' XFSZ; head -c 5000 /dev/zero 2>&-; exit 0"},
       OK + usage() + extended({.outbytes = "1000"})},
      {"--stdout and --stderr as one file: its size twice",
       {"--extended", out, "--stderr=" + file, "10", "-1", "-1", "true", "echo out; echo err >&2"},
       OK + usage() + extended({.outbytes = "8", .errbytes = "8"})},
      {"a device is no regular file: -1",
       {"--extended", "--stdout=/dev/null", "--stderr=" + file, "10", "-1", "-1", "true",
        "echo out; echo err >&2"},
       OK + usage() + extended({.errbytes = "4"})},
      {"a wall limit ends a busy loop, a CPU cap above it: wall-limit",
       {"--extended", "--wall-limit=0.5", "10", "-1", "-1", "true", LOOP},
       killed + usage() + extended({.timedout = "1", .ended = "wall-limit"})},
      {"--format=json: ended is a string, the sizes integers",
       {"--extended", "--format=json", out, "10", "-1", "-1", "true", "echo out"},
       "\\{[^{}]+,\"basestatus\":0,\"ended\":\"exit\",\"outbytes\":4,\"errbytes\":-1\\}\n"},
  };
  for (const auto& c : cases) check(c);
  unlink(file.c_str());
}

// The keys that follow the report of an interactive run.
std::string interactor_keys(const std::string& status, const std::string& first) {
  return "interactorstatus=" + status + "\ninteractorwall=" + SECONDS + "\nfirstended=" + first +
         "\n";
}

// The largest pipe that the system allows, as /proc says it.
const std::string PIPE_MAX = [] {
  std::string bytes;
  std::ifstream("/proc/sys/fs/pipe-max-size") >> bytes;
  return bytes;
}();

// Says on standard error how large the pipes on standard input and output are.
const std::string PIPE_SIZES = "python3 -c 'import fcntl, sys; print(fcntl.fcntl(0, 1032), "
                               "fcntl.fcntl(1, 1032), file=sys.stderr)'";

// Lists a process's descriptors on standard error: 0 to 2, and the one it lists them with.
const std::string LIST_FDS =
    "exec python3 -c 'import os, sys; print(sorted(os.listdir(\"/proc/self/fd\")), "
    "file=sys.stderr)'";
const std::string FDS = R"(\['0', '1', '2', '3'\]
)";

// The measured run and a judge's interactor, joined by pipes.
TEST(EndToEnd, RunsAnInteractorBesideTheProgram) {
  const std::string nap = "sleep " + NAP;
  const std::string doubler = "read x; echo \"answer $((x * 2))\"";
  const std::string asker = "echo 21; read r; echo \"$r\" >&2";
  const std::string either = "(program|interactor)";
  const Case cases[] = {
      {"the two talk through the pipes",
       {"--interactor=" + doubler, "10", "-1", "-1", "true", asker},
       OK + usage() + interactor_keys("0", either),
       0,
       "answer 42\n"},
      {.name = "--transcript: each chunk as it passed, and which way",
       .args = {"--interactor=" + doubler, "--transcript=" + REPORT, "10", "-1", "-1", "true",
                asker},
       .out = OK + usage() + interactor_keys("0", either),
       .err = "answer 42\n",
       .report = "> 3\n21\n\n< 10\nanswer 42\n\n"},
      {"an interactor that exits at once: the program reads the end, and its write a SIGPIPE",
       {"--interactor=exit 3", "10", "-1", "-1", "true",
        "read x || echo end >&2; exec /bin/echo hi"},
       status("13 1 13 0 0 0 0 0") + usage() + interactor_keys("768", "interactor"),
       0,
       "end\n"},
      {"the interactor ends first, and what it left running ends with it",
       {"--interactor=" + nap + " & exit 0", "10", "-1", "-1", "true",
        "read x; echo \"read $?\" >&2"},
       OK + usage() + interactor_keys("0", "interactor"),
       0,
       "read 1\n"},
      {"the program ends first: the interactor has its grace, then is killed",
       {"--interactor=" + nap, "--interactor-grace=0.2", "10", "-1", "-1", "true", "true"},
       OK + usage() + interactor_keys("9", "program")},
      {"--interactor-grace=0: killed at once",
       {"--interactor=" + nap, "--interactor-grace=0", "10", "-1", "-1", "true", "true"},
       OK + usage() + interactor_keys("9", "program")},
      {"each waits for the other: the wall limit ends both",
       {"--interactor=read x", "--extended", "--wall-limit=0.5", "10", "-1", "-1", "true",
        "read y"},
       status("9 1 9 0 0 0 0 0") + usage() + extended({.timedout = "1", .ended = "wall-limit"}) +
           interactor_keys("9", "program")},
      {"--format=json: firstended is a string",
       {"--interactor=" + doubler, "--format=json", "10", "-1", "-1", "true", asker},
       R"(\{[^{}]+,"interactorstatus":0,"interactorwall":[^,]+,"firstended":")" + either +
           "\"\\}\n",
       0,
       "answer 42\n"},
      {.name = "SIGTERM to phase1 ends the interactor's group too",
       .args = {"--interactor=" + nap + " & " + nap, "10", "-1", "-1", "true", nap},
       .out = "",
       .exit_code = -SIGTERM,
       .during = signal_napping<SIGTERM, false>},
      {.name = "SIGKILL to phase1: the interactor's group ends itself",
       .args = {"--interactor=" + nap + " & " + nap, "10", "-1", "-1", "true", nap},
       .out = "",
       .exit_code = -SIGKILL,
       .during = signal_napping<SIGKILL, false>},
      {"a transcript that cannot be written: the report, then phase1's own failure",
       {"--interactor=" + doubler, "--transcript=/dev/full", "10", "-1", "-1", "true", asker},
       OK + usage() + interactor_keys("0", either),
       125,
       "answer 42\nphase1: cannot write the transcript: No space left on device\n"},
      {"each end of the pipes is as large as the system lets a pipe be",
       {"--interactor=cat >/dev/null", "10", "-1", "-1", "true", PIPE_SIZES},
       OK + usage() + interactor_keys("0", either),
       0,
       PIPE_MAX + " " + PIPE_MAX + "\n"},
      {"the interactor holds 0, 1 and 2 alone, and phase1's standard error is its own",
       {"--interactor=" + LIST_FDS, "10", "-1", "-1", "true", "cat >/dev/null"},
       OK + usage() + interactor_keys("0", "interactor"),
       0,
       FDS},
      {"so does the program",
       {"--interactor=cat >/dev/null", "10", "-1", "-1", "true", LIST_FDS},
       OK + usage() + interactor_keys("0", either),
       0,
       FDS},
      {.name = "--stderr still works",
       .args = {"--interactor=cat >/dev/null", "--stderr=" + REPORT, "10", "-1", "-1", "true",
                "echo err >&2"},
       .out = OK + usage() + interactor_keys("0", either),
       .report = "err\n"},
      {"--transcript that cannot be opened: refused",
       {"--interactor=true", "--transcript=/nonexistent/talk", "10", "-1", "-1", "echo ran",
        "echo ran"},
       "",
       125,
       "phase1: cannot open /nonexistent/talk: No such file or directory\n"},
      {"--interactor with --stdin: refused",
       {"--interactor=true", "--stdin=/dev/null", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --interactor joins the program's standard input and output to the interactor: "
       "--stdin and --stdout cannot be given with it\n"},
      {"--transcript without --interactor: refused",
       {"--transcript=" + REPORT, "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --transcript needs --interactor\n"},
      {"--interactor-grace without --interactor: refused",
       {"--interactor-grace=1", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --interactor-grace needs --interactor\n"},
      {"--interactor-grace below 0: refused",
       {"--interactor=true", "--interactor-grace=-1", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: option --interactor-grace \"-1\": not a number of seconds, 0 or more\n"},
      {"--transcript that is the report's file: refused",
       {"--interactor=true", "--output=" + REPORT, "--transcript=" + REPORT, "10", "-1", "-1",
        "echo ran", "echo ran"},
       "",
       125,
       "phase1: --transcript " + REPORT + " is the report's file\n"},
      {"--transcript that is --stderr: refused",
       {"--interactor=true", "--transcript=" + REPORT, "--stderr=" + REPORT, "10", "-1", "-1",
        "echo ran", "echo ran"},
       "",
       125,
       "phase1: --transcript " + REPORT + " is also --stderr " + REPORT + "\n"},
  };
  for (const auto& c : cases) check(c);
}

// JSON as a JSON parser reads it: the keys and values of the key=value report, in its order.
TEST(EndToEnd, WritesTheReportAsJson) {
  const std::vector<std::string> run{"--extended", "10", "-1", "-1", "true", "exit 3"};
  auto json = run;
  json.insert(json.begin(), "--format=json");
  const Launch lines = launch(run);
  const Launch object = launch(json);
  ASSERT_EQ(object.exit_code, 0);
  std::ofstream(REPORT) << lines.out << '\n' << object.out;
  // Times and counts differ from run to run; their keys, their kinds and the rest may not.
  const std::string compare = R"(
import json, sys
text, line = open(sys.argv[1]).read().split("\n\n")
pairs = [l.split("=", 1) for l in text.splitlines()]
got = json.loads(line)
assert line.endswith("}\n") and line.count("\n") == 1, "one line"
assert list(got) == [k for k, _ in pairs], (list(got), pairs)
for key, value in pairs:
    kind = str if value[0].isalpha() else float if any(c in value for c in ".e") else int
    assert type(got[key]) is kind or key in ("basetime", "time", "basewall", "wall"), key
    if key not in ("basetime", "time", "basemem", "mem", "ru_majflt", "pid", "basewall", "wall",
                   "basemaxrss", "maxrss"):
        assert got[key] == kind(value), (key, got[key], value)
)";
  // NOLINTNEXTLINE(cert-env33-c): a JSON parser of its own is the point
  EXPECT_EQ(std::system(("python3 -c '" + compare + "' " + REPORT).c_str()), 0) << object.out;
  unlink(REPORT.c_str());
}

TEST(EndToEnd, RefusesBadArguments) {
  const Case cases[] = {
      {"no arguments", {}, "", 125, "usage: phase1 [^\n]+\n"},
      {"four arguments", {"10", "-1", "-1", "echo ran"}, "", 125, "usage: phase1 [^\n]+\n"},
      {"no number",
       {"10", " ", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: argument 2 \\(address-space cap\\) \" \": not a decimal number\n"},
      {"out of range",
       {"10", "-1", "99999999999999999999", "echo ran", "echo ran"},
       "",
       125,
       "phase1: argument 3 \\(file-size cap\\) \"99999999999999999999\": out of the signed 64-bit "
       "range\n"},
      {"option without its value",
       {"--wall-limit"},
       "",
       125,
       "phase1: option --wall-limit needs a value\n"},
      {"options end at --",
       {"--", "--wall-limit=1", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: argument 1 \\(CPU-time cap\\) \"--wall-limit=1\": not a decimal number\n"},
  };
  for (const auto& c : cases) check(c);
  // Options refused, each before five arguments that would run.
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--wall", "1"}, "phase1: unknown option --wall\n"},
      {{"--wall-limit=0"}, "phase1: option --wall-limit \"0\": not a positive number of seconds\n"},
      {{"--processes", "many"},
       "phase1: option --processes \"many\": not a number of processes from 1 up, or -1\n"},
      {{"--processes=0"},
       "phase1: option --processes \"0\": not a number of processes from 1 up, or -1\n"},
      {{"--processes=4194304"},
       "phase1: option --processes \"4194304\": more processes than the kernel can count: the "
       "largest is 4194303\n"},
      {{"--output=/nonexistent/r"},
       "phase1: cannot open /nonexistent/r: No such file or directory\n"},
      {{"--extended=1"}, "phase1: option --extended takes no value\n"},
      {{"--format=xml"}, "phase1: option --format \"xml\": neither keyvalue nor json\n"},
      {{"--stdout="}, "phase1: option --stdout \"\": not a file name\n"},
      {{"--memory-limit=1.5G"},
       "phase1: option --memory-limit \"1.5G\": not a positive number "
       "of bytes, with K, M, G or T, or -1\n"},
      {{"--memory-limit", "8388608T"},
       "phase1: option --memory-limit \"8388608T\": more bytes than 2\\^63 - 1\n"},
      {{"--cpu-limit=-1"}, "phase1: option --cpu-limit \"-1\": not a positive number of seconds\n"},
      {{"--cgroup="}, "phase1: option --cgroup \"\": not a directory name\n"},
      {{"--cgroup=/nonexistent"},
       "phase1: cannot use the cgroup /nonexistent: No such file or directory\n"},
      {{"--cgroup=/tmp", "--cpu-limit=1"},
       "phase1: /tmp is not a cgroup v2 directory; the runs' cgroups need cgroup v2 with the "
       "memory controller\n"},
  };
  for (auto [args, err] : refused) {
    args.insert(args.end(), {"10", "-1", "-1", "echo ran", "echo ran"});
    check({err.c_str(), args, "", 125, err});
  }
}

// Where cgroup v2 has no memory controller, as on a machine with v1 only, every cgroup option
// is refused before anything runs, and nothing is made. Elsewhere this would make cgroups.
TEST(EndToEnd, RefusesCgroupsWithoutV2) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.find(" - cgroup2 ") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string point;
    for (int field = 0; field < 5; ++field) fields >> point; // id parent device root point
    std::ifstream controllers(point + "/cgroup.controllers");
    const std::string names{std::istreambuf_iterator<char>(controllers), {}};
    if (names.find("memory") != std::string::npos) GTEST_SKIP() << "cgroup v2 has memory here";
  }
  const std::string err = "phase1: the runs' cgroups need cgroup v2 with the memory controller\n";
  for (const char* option : {"--memory-limit=1G", "--cpu-limit=1", "--memory-limit=-1"}) {
    check({option, {option, "10", "-1", "-1", "echo ran", "echo ran"}, "", 125, err});
  }
}

TEST(EndToEnd, AnswersHelpAndVersionAlone) {
  const std::string usage_line = "usage: phase1 CPU_SECONDS ADDRESS_SPACE_BYTES FILE_SIZE_BYTES "
                                 "BASELINE_COMMAND MEASURED_COMMAND\n";
  const Case cases[] = {
      {"help", {"--help"}, usage_line + "[\\s\\S]*\n  125 [\\s\\S]*phase1\\(1\\)\\.\n"},
      {"version", {"--version"}, std::string("phase1 ") + PHASE1_VERSION + "\n"},
      {"help with another argument", {"--help", "x"}, "", 125, usage_line},
      {"an option of the sort it does not have", {"-h"}, "", 125, usage_line},
      {"help where a cap belongs",
       {"--help", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: argument 1 \\(CPU-time cap\\) \"--help\": not a decimal number\n"},
      {"help to a full standard output",
       {"--help"},
       "",
       125,
       "phase1: cannot write the help: No space left on device\n",
       "",
       [] { dup2(open("/dev/full", O_WRONLY), 1); }},
  };
  for (const auto& c : cases) check(c);
}

// Gives phase1 a terminal, as an interactive shell would: a session of its own whose
// controlling terminal is a pseudo-terminal with "line\n" typed into it. A process of its own
// holds the other end for as long as phase1 runs.
void in_a_terminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || setsid() < 0) _exit(99);
  if (open(ptsname(master), O_RDWR) < 0 || write(master, "line\n", 5) != 5) _exit(99);
  const pid_t phase1 = getpid();
  if (fork() == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != phase1) _exit(0);
    pause();
  }
  close(master);
}

// Opens /dev/null at descriptor 7, without close-on-exec, as a grader's result pipe would be.
void with_descriptor_7() {
  dup2(open("/dev/null", O_RDONLY), 7);
}

// Makes standard output a pipe that a process of its own reads to its end.
void into_a_pipe() {
  int ends[2];
  if (pipe(ends) != 0) _exit(99);
  if (fork() == 0) {
    close(ends[1]);
    char buffer[256];
    while (read(ends[0], buffer, sizeof buffer) > 0) {
    }
    _exit(0);
  }
  dup2(ends[1], 1);
  close(ends[0]);
  close(ends[1]);
}

// Writes "late\n" into the FIFO `path` after a while, once there is a reader.
void write_late(const std::string& path) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int tries = 0; tries < 500; ++tries) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      EXPECT_EQ(write(fd, "late\n", 5), 5);
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

const std::string FIFO_IN = REPORT + ".fifo-in";
const std::string KEPT = REPORT + ".kept";

TEST(EndToEnd, GivesTheCommandsNothingOfTheirCaller) {
  mkfifo(FIFO_IN.c_str(), 0600);
  const Case cases[] = {
      {.name = "a descriptor the caller left open does not reach the commands",
       .args = {"10", "-1", "-1", "true", "[ -e /proc/self/fd/7 ] && echo open || echo closed"},
       .out = "closed\n" + OK + usage(),
       .prepare = with_descriptor_7},
      {.name = "SIGXFSZ ignored by the caller: the file-size cap still kills",
       .args = {"10", "-1", "1000", "true", PAST_THE_CAP},
       .out = "1000\n" + status("39168 0 0 153 1 0 153 0") + usage(),
       .prepare = [] { (void)signal(SIGXFSZ, SIG_IGN); }},
      {.name = "a command that moves the shared offset back: the report still comes last",
       .args =
           {"10", "-1", "-1", "true",
            R"(python3 -c 'import os; os.write(1, b"childstatus=0\n" * 20); os.lseek(1, 0, 0)')"},
       .out = "(childstatus=0\n){20}" + OK + usage()},
      {.name = "--output under umask 0 is made writable by its owner alone",
       .args = {"--output=" + REPORT, "10", "-1", "-1", "true", "stat -c %a " + REPORT},
       .out = "644\n",
       .prepare = [] { umask(0); },
       .report = OK + usage()},
      {.name = "--output=/dev/stdout where standard output is a pipe: refused",
       .args = {"--output=/dev/stdout", "10", "-1", "-1", "echo ran", "echo ran"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: --output /dev/stdout is standard output, where the commands write\n",
       .prepare = into_a_pipe},
      {.name = "--stdin that is --stdout: refused, and the input kept",
       .args = {"--stdin=" + KEPT, "--stdout=" + KEPT, "10", "-1", "-1", "true", "cat"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: --stdin " + KEPT + " is also --stdout " + KEPT + ", which would empty it\n"},
      {.name = "--stdin that is the report's file: refused",
       .args = {"--stdin=" + KEPT, "--output=" + KEPT, "10", "-1", "-1", "true", "cat"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: --stdin " + KEPT + " is also the report's file\n"},
      {.name = "--stdin that is a directory: refused",
       .args = {"--stdin=/tmp", "10", "-1", "-1", "true", "cat"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: --stdin /tmp is a directory\n"},
      {.name = "--stdin on a FIFO waits for its writer, as the shell's < does",
       .args = {"--stdin=" + FIFO_IN, "10", "-1", "-1", "true", "cat"},
       .out = "late\n" + OK + usage(),
       .during = [](pid_t) { write_late(FIFO_IN); }},
      {.name = "the longest wall limit: its deadline does not overflow the clock",
       .args = {"--wall-limit=9223372036", "10", "-1", "-1", "true", "true"},
       .out = OK + usage()},
  };
  for (const auto& c : cases) {
    std::ofstream(KEPT) << "kept\n";
    check(c);
    EXPECT_EQ(contents(open(KEPT.c_str(), O_RDONLY)), "kept\n") << c.name;
  }
  unlink(KEPT.c_str());
  unlink(FIFO_IN.c_str());
}

TEST(EndToEnd, HandsTheTerminalToTheRun) {
  const Case cases[] = {
      {.name = "under a wall limit the run is the terminal's foreground, and reads it",
       .args = {"--wall-limit=5", "10", "-1", "-1", "true", "read x </dev/tty; echo got $x"},
       .out = "got line\n" + OK + usage(),
       .prepare = in_a_terminal},
  };
  for (const auto& c : cases) check(c);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the commands as another user";
  check({.name = "under --user the commands have no controlling terminal",
         .args = {"--user=nobody", "10", "-1", "-1", "true",
                  "(exec </dev/tty) 2>&- && echo terminal || echo none"},
         .out = "none\n" + OK + usage(),
         .prepare = in_a_terminal});
}

TEST(EndToEnd, OpensTheRunsFilesOnlyAsTheirUserCould) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the commands as another user";
  // A directory the commands' user can write, as a grader's, and files of root's alone.
  char open_dir[] = "/tmp/phase1-test-XXXXXX";
  char root_dir[] = "/tmp/phase1-test-XXXXXX";
  ASSERT_NE(mkdtemp(open_dir), nullptr);
  ASSERT_NE(mkdtemp(root_dir), nullptr);
  chmod(open_dir, 0777);
  const std::string at = open_dir;
  const std::string secret = std::string(root_dir) + "/secret";
  const std::string victim = std::string(root_dir) + "/victim";
  std::ofstream(secret) << "secret\n";
  std::ofstream(victim) << "victim\n";
  symlink(secret.c_str(), (at + "/in").c_str());
  symlink(victim.c_str(), (at + "/out").c_str());
  link(victim.c_str(), (at + "/hard").c_str());
  std::ofstream(at + "/kept") << "kept\n";
  const std::string run_as = "--user=nobody";
  const Case cases[] = {
      {.name = "--stdin through a link the user planted to a file it cannot read: refused",
       .args = {run_as, "--stdin=" + at + "/in", "10", "-1", "-1", "true", "cat"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot open " + at + "/in: Permission denied\n"},
      {.name = "--stdout through a link the user planted to a file it cannot write: refused",
       .args = {run_as, "--stdout=" + at + "/out", "10", "-1", "-1", "true", "echo forged"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot open " + at + "/out: Permission denied\n"},
      {.name = "--output through a link in a directory the user can write: refused",
       .args = {run_as, "--output=" + at + "/out", "10", "-1", "-1", "true", "true"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot open " + at +
              "/out: a symbolic link where the commands' user can write\n"},
      {.name = "--output with another hard link there: refused",
       .args = {run_as, "--output=" + at + "/hard", "10", "-1", "-1", "true", "true"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: --output " + at +
              "/hard has other hard links, in a directory where the commands' user can write\n"},
      {.name = "--stdout made by phase1 is the user's own",
       .args = {run_as, "--stdout=" + at + "/made", "10", "-1", "-1", "true",
                "stat -c %U " + at + "/made >&2"},
       .out = OK + usage(),
       .err = "nobody\n"},
      {.name = "a refusal empties nothing: an unknown user",
       .args = {"--output=" + at + "/kept", "--stdout=" + at + "/kept2", "--user=phase1-nobody",
                "10", "-1", "-1", "true", "true"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: unknown user phase1-nobody \\(not in /etc/passwd\\)\n"},
      {.name = "a refusal empties nothing: a cgroup that cannot be used",
       .args = {"--output=" + at + "/kept", "--cgroup=/tmp", "10", "-1", "-1", "true", "true"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: /tmp is not a cgroup v2 directory; the runs' cgroups need cgroup v2 with "
              "the memory controller\n"},
      {.name = "a refusal makes nothing: a --stdin that is missing",
       .args = {"--output=" + at + "/new", "--stdout=" + at + "/new2", "--stdin=/nonexistent", "10",
                "-1", "-1", "true", "true"},
       .out = "",
       .exit_code = 125,
       .err = "phase1: cannot open /nonexistent: No such file or directory\n"},
  };
  for (const auto& c : cases) check(c);
  EXPECT_EQ(contents(open(victim.c_str(), O_RDONLY)), "victim\n");
  EXPECT_EQ(contents(open((at + "/kept").c_str(), O_RDONLY)), "kept\n");
  for (const char* name : {"/kept2", "/new", "/new2"}) {
    EXPECT_NE(access((at + name).c_str(), F_OK), 0) << name;
  }
  // A path through root's own link (/var/run to /run) is no link of the user's.
  struct stat var_run {};
  if (lstat("/var/run", &var_run) == 0 && S_ISLNK(var_run.st_mode)) {
    const std::string report = "/var/run/phase1-test-" + std::to_string(getpid());
    check({.name = "--output through root's own link: written",
           .args = {run_as, "--output=" + report, "10", "-1", "-1", "true", "true"},
           .out = ""});
    EXPECT_TRUE(contents(open(report.c_str(), O_RDONLY)).starts_with(OK));
    unlink(report.c_str());
  }
  std::filesystem::remove_all(open_dir);
  std::filesystem::remove_all(root_dir);
}

// Runs phase1 as the user UID, allowed this many processes. Each test that relies on the
// count of a user's processes has a uid of its own, which no other test runs as. The cap goes
// on after setuid: over the cap at setuid time, execve itself would fail.
template <uid_t UID, rlim_t PROCESSES> void as_uid() {
  // LeakSanitizer's check at exit needs a thread of its own, which one process cannot have.
  if (UNDER_ASAN && PROCESSES == 1) setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  const rlimit cap{PROCESSES, PROCESSES};
  if (setgroups(0, nullptr) != 0 || setgid(UID) != 0 || setuid(UID) != 0 ||
      setrlimit(RLIMIT_NPROC, &cap) != 0) {
    _exit(99);
  }
}

constexpr uid_t FORKLESS_UID = 64101;
constexpr uid_t CAPABLE_UID = 64102;
constexpr uid_t PLAIN_UID = 64103;

// phase1 run by an ordinary user who holds CAP_SETUID and CAP_SETGID in its ambient set, the
// privilege that --user asks for, as `setpriv --ambient-caps` would leave it.
void as_capable_user() {
  if (setgroups(0, nullptr) != 0 || prctl(PR_SET_SECUREBITS, SECBIT_KEEP_CAPS) != 0 ||
      setgid(CAPABLE_UID) != 0 || setuid(CAPABLE_UID) != 0) {
    _exit(99);
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
  const unsigned bits = (1U << CAP_SETUID) | (1U << CAP_SETGID);
  data[0] = {bits, bits, bits};
  if (syscall(SYS_capset, &header, data.data()) != 0) _exit(99);
  for (const int cap : {CAP_SETUID, CAP_SETGID}) {
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0) _exit(99);
  }
}

const std::string NO_CAPABILITY =
    "CapInh:\t0{16}\nCapPrm:\t0{16}\nCapEff:\t0{16}\nCapAmb:\t0{16}\n";

TEST(EndToEnd, ReportsProcessesThatCannotStart) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run phase1 as another user";
  const RunnableCopy copy(0755);
  const Case cases[] = {
      {"fork fails: reported as system would, both records zero, basestatus=-1",
       {"--extended", "10", "-1", "-1", "echo base", "echo meas"},
       status("-1 0 127 255 0 128 255 0") + usage("0", "0", "0") +
           "basewall=0\nwall=0\nbasemaxrss=0\nmaxrss=0\ntimedout=0\nbasestatus=-1\nended=none\n"
           "outbytes=-1\nerrbytes=-1\n",
       0,
       "",
       "",
       as_uid<FORKLESS_UID, 1>},
      {"the shell cannot start",
       {"10", "-1", "-1", "echo base", "echo meas"},
       status("32512 0 0 127 1 0 127 0") + usage(),
       0,
       "",
       "",
       as_uid<FORKLESS_UID, 2>},
      {"the shell cannot start: exit 127, as for a command not found",
       {"--extended", "10", "-1", "-1", "echo base", "echo meas"},
       status("32512 0 0 127 1 0 127 0") + usage() + extended({.basestatus = "32512"}),
       0,
       "",
       "",
       as_uid<FORKLESS_UID, 2>},
      {"fork fails: an interactor that cannot start shows as -1, and ended first",
       {"--interactor=cat", "--extended", "10", "-1", "-1", "echo base", "echo meas"},
       status("-1 0 127 255 0 128 255 0") + usage("0", "0", "0") +
           "basewall=0\nwall=0\nbasemaxrss=0\nmaxrss=0\ntimedout=0\nbasestatus=-1\nended=none\n"
           "outbytes=-1\nerrbytes=-1\ninteractorstatus=-1\ninteractorwall=0\n"
           "firstended=interactor\n",
       0,
       "",
       "",
       as_uid<FORKLESS_UID, 1>},
      {"--user without the privilege to change user: refused",
       {"--user=root", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --user needs root, or CAP_SETUID and CAP_SETGID\n",
       "",
       as_uid<FORKLESS_UID, 100>},
      {"--processes=1 counts the command's processes alone: the shell, and no other",
       {"--processes=1", "10", "-1", "-1", "echo base", "echo meas; (true)"},
       "base\nmeas\n" + status("512 0 0 2 1 0 2 0") + usage(),
       0,
       "[^\n]*[Cc]annot fork[^\n]*\n",
       "",
       as_uid<FORKLESS_UID, 100>},
      {"--user from a user with CAP_SETUID: the commands hold no capability",
       {"--user=nobody", "10", "-1", "-1", "true",
        "id -u; grep -E '^Cap(Inh|Prm|Eff|Amb)' /proc/self/status"},
       "65534\n" + NO_CAPABILITY + OK + usage(),
       0,
       "",
       "",
       as_capable_user},
      {"a command of phase1's own user can neither read nor write phase1's memory",
       {"10", "-1", "-1", "true",
        "(exec 3<>/proc/" + PHASE1_PID + "/mem) 2>&- && echo open || echo denied"},
       "denied\n" + OK + usage(),
       0,
       "",
       "",
       as_uid<PLAIN_UID, 100>},
  };
  for (const auto& c : cases) check(c);
}

} // namespace

namespace {

// A world-readable file outside the sandbox, as a grader's expected answers would be.
const std::string ANSWER = REPORT + ".answer";
// A service of the host on the loopback, listening for the commands to try.
const std::string PORT_FILE = REPORT + ".port";

// Listens on a free port of 127.0.0.1 and says which: a connection that lands is accepted
// by the kernel whether or not the test reads it.
int listen_on_loopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

TEST(EndToEnd, SandboxesEachRun) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the commands as another user";
  char dir[] = "/tmp/phase1-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  chmod(dir, 0777);
  const std::string box = dir;
  std::filesystem::copy_file(PHASE1_OTHER_ABI, box + "/other_abi");
  std::ofstream(ANSWER) << "42\n";
  chmod(ANSWER.c_str(), 0644);
  int port = 0;
  const int listener = listen_on_loopback(port);
  ASSERT_GE(listener, 0);
  // A System V segment of the host's, which no run may see.
  const int segment = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0666);
  const std::string connect =
      "python3 -c 'import socket; socket.create_connection((\"127.0.0.1\", " +
      std::to_string(port) + "), 1); print(\"reached\")' 2>&- || echo unreached";
  const std::string in = "--sandbox=" + box;
  const std::string as = "--user=nobody";
  const std::string nap = "sleep " + NAP;
  const Case cases[] = {
      {"--sandbox that does not exist: refused",
       {as, "--sandbox=/nonexistent", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --sandbox /nonexistent: No such file or directory\n"},
      {"--sandbox that is a file: refused",
       {as, "--sandbox=" + ANSWER, "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --sandbox " + ANSWER + ": not a directory\n"},
      {"--bind that is relative: refused",
       {as, in, "--bind=usr", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: option --bind \"usr\": not an absolute path\n"},
      {"--bind that does not exist: refused",
       {as, in, "--bind=/nonexistent", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --bind /nonexistent: No such file or directory\n"},
      {"--bind without --sandbox: refused",
       {"--bind=/usr", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --bind needs --sandbox\n"},
      {"--share-network without --sandbox: refused",
       {"--share-network", "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --share-network needs --sandbox\n"},
      {"--sandbox as root without --user: refused",
       {in, "10", "-1", "-1", "echo ran", "echo ran"},
       "",
       125,
       "phase1: --sandbox as root needs --user=USER: a run in a sandbox is never root\n"},
      {"the host's files are not there, but for /usr, /etc and the rest, read-only",
       {as, in, "10", "-1", "-1", "true",
        "cat " + ANSWER +
            " 2>&-; ls -d /home /root /srv /var /run /mnt /opt /sys 2>&- | wc -l; "
            "touch /usr/x /etc/x /x 2>&- || echo read-only; ls /usr/bin/env"},
       "0\nread-only\n/usr/bin/env\n" + OK + usage()},
      {"--bind shows a file of the host, read-only, even below the run's own /tmp",
       {as, in, "--bind=" + ANSWER, "10", "-1", "-1", "true",
        "cat " + ANSWER + "; awk -v p=" + ANSWER +
            " '$5 == p { print substr($6, 1, 2) }' /proc/self/mountinfo"},
       "42\nro\n" + OK + usage()},
      {"/box is DIR, writable, and the working directory; /tmp is each run's own",
       {as, in, "10", "-1", "-1", "touch /tmp/mark", "pwd; echo kept > f; ls /tmp | wc -l"},
       "/box\n0\n" + OK + usage()},
      {"a C, a Python, a Node and a Java program run",
       {as, in, "10", "-1", "-1", "true",
        std::string("cp /usr/bin/true ./t && ./t && echo c; python3 -c 'print(\"python\")'; ") +
            "node -e 'console.log(\"node\")'; java -version 2>&1 | grep -c version"},
       "c\npython\nnode\n1\n" + OK + usage()},
      {"no network: the host's loopback service is out of reach",
       {as, in, "10", "-1", "-1", "true", connect},
       "unreached\n" + OK + usage()},
      {"--share-network: it is reached",
       {as, in, "--share-network", "10", "-1", "-1", "true", connect},
       "reached\n" + OK + usage()},
      {"no System V IPC object of the host's",
       {as, in, "10", "-1", "-1", "true", "ipcs -m | grep -c '^0x' || true"},
       "0\n" + OK + usage()},
      {"ps shows the run alone, and an orphan goes with it",
       // Once the sleep has started, and with no pipeline whose members might not have yet.
       {as, in, "10", "-1", "-1", "true",
        nap + " & until [ \"$(cat /proc/$!/comm)\" = sleep ]; do :; done; "
              "ps -e -o comm= >/tmp/ps; sort -u /tmp/ps | tr '\\n' ' '; echo"},
       "phase1 ps sh sleep \n" + OK + usage()},
      {"never root, no capability, no new privileges, and the filter",
       {as, in, "10", "-1", "-1", "true",
        "id -u; grep -E '^(CapEff|NoNewPrivs|Seccomp):' /proc/self/status | tr -d '\\t'"},
       "65534\nCapEff:0000000000000000\nNoNewPrivs:1\nSeccomp:2\n" + OK + usage()},
      {"the filter refuses the key ring, io_uring and new namespaces; clone3 is not there",
       {as, in, "10", "-1", "-1", "true",
        std::string("python3 -c 'import ctypes, os; l = ctypes.CDLL(None, use_errno=True); ") +
            "[print(l.syscall(n, 0, 0, 0), os.strerror(ctypes.get_errno())) for n in (250, 425, "
            "435)]'; "
            "unshare -U true 2>&- || echo refused"},
       "-1 Operation not permitted\n-1 Operation not permitted\n-1 Function not implemented\n"
       "refused\n" +
           OK + usage()},
      {"calls of the 32-bit and the x32 ABI are refused",
       {as, in, "10", "-1", "-1", "true", "/box/other_abi"},
       "-1 -1\n" + OK + usage()},
      {"the interactor is the caller's, outside the sandbox",
       {as, in, "--interactor=id -u >&2; ls -d /home >&2; echo go; cat >/dev/null", "10", "-1",
        "-1", "true", "read x; id -u >&2"},
       OK + usage() + interactor_keys("0", "(program|interactor)"),
       0,
       "0\n/home\n65534\n"},
      {"signals to PID 1, phase1's child, reach no handler of phase1's",
       {as, in, "--wall-limit=60", "10", "-1", "-1", "true",
        "kill -TERM 1; kill -HUP 1; kill -INT 1; sleep 0.1; echo alive"},
       "alive\n" + OK + usage()},
      {"a read-only bind cannot be unmounted or made writable",
       {as, in, "10", "-1", "-1", "true",
        "mount -o remount,rw /usr 2>&- || echo kept; umount /usr 2>&- || echo kept"},
       "kept\nkept\n" + OK + usage()},
      {.name = "kill -9 -1 in one run spares another run of the same user",
       .args = {as, in, "10", "-1", "-1", "true", "exec 2>&-; " + nap + "; echo spared"},
       .out = "spared\n" + OK + usage(),
       .during =
           [](pid_t) {
             ASSERT_TRUE(eventually([] { return !nappers().empty(); }));
             const Launch other = launch(
                 {"--user=nobody", "--sandbox=/tmp", "10", "-1", "-1", "true", "kill -9 -1"});
             EXPECT_EQ(other.exit_code, 0) << other.err;
             EXPECT_EQ(nappers().size(), 1U);
             for (const pid_t napper : nappers()) kill(napper, SIGKILL);
           }},
  };
  for (const auto& c : cases) check(c);
  EXPECT_EQ(contents(open((box + "/f").c_str(), O_RDONLY)), "kept\n");
  shmctl(segment, IPC_RMID, nullptr);
  close(listener);
  unlink(ANSWER.c_str());
  std::filesystem::remove_all(dir);
}

// The runs' mounts are their own, even where the host's root propagates its mounts.
TEST(EndToEnd, SandboxesMountNothingOnTheHost) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace with a shared root";
  binary = "/usr/bin/unshare";
  check({"the mount table outside does not grow during a run",
         {"-m", "sh", "-c",
          std::string("mount --make-rshared /; n=$(wc -l </proc/self/mountinfo); ") +
              "\"$0\" --user=nobody --sandbox=/tmp 10 -1 -1 true 'sleep 1' >/dev/null & sleep 0.5; "
              "m=$(wc -l </proc/self/mountinfo); wait; [ \"$n\" = \"$m\" ] && echo same",
          PHASE1_BINARY},
         "same\n"});
  binary = PHASE1_BINARY;
}

constexpr uid_t ROOTLESS_UID = 64104;

TEST(EndToEnd, SandboxesARunWithoutRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become an ordinary user";
  const RunnableCopy copy(0777);
  check({"phase1 run by an ordinary user: the commands are that user, alone, with nothing",
         {"--sandbox=" + copy.dir, "10", "-1", "-1", "true",
          std::string("id -u; ps -e -o comm= | wc -l; ") +
              "grep -E '^(CapEff|CapBnd):' /proc/self/status | tr -d '\\t'; ls /box/phase1; "
              "for f in /x /dev/x; do touch $f 2>&- || echo read-only; done"},
         std::to_string(ROOTLESS_UID) +
             "\n4\nCapEff:0000000000000000\nCapBnd:0000000000000000\n/box/"
             "phase1\nread-only\nread-only\n" +
             OK + usage(),
         0,
         "",
         "",
         as_uid<ROOTLESS_UID, 100>});
}

} // namespace
