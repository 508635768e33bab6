// End-to-end runs of the built binary.
#include "limits.hpp"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* binary = PHASE1_BINARY;

const std::string KEYS =
    "childstatus WIFSIGNALED WTERMSIG WEXITSTATUS WIFEXITED WCOREDUMP "
    "WSTOPSIG WIFSTOPPED basetime time basemem mem pagesize ru_majflt pid ppid";

struct Outcome {
  int exit_code; // negative: killed by that signal
  std::string out, err;
  pid_t pid;
};

int temp_file() {
  char name[] = "/tmp/phase1-test-XXXXXX";
  const int fd = mkstemp(name);
  unlink(name);
  return fd;
}

std::string contents(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fd);
  return text;
}

// Runs phase1 with `args` and `input` on standard input; `prepare` runs in the child just
// before exec, with standard input, output and error already in place.
Outcome run(std::vector<std::string> args, const std::string& input = "",
            void (*prepare)() = nullptr) {
  const int in = temp_file(), out = temp_file(), err = temp_file();
  EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(in, 0, SEEK_SET);
  std::vector<char*> argv{const_cast<char*>(binary)};
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    if (prepare != nullptr) prepare();
    execv(binary, argv.data());
    _exit(126);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(in);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), contents(out), contents(err),
          pid};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The keys (or values) of the last `n` lines, space-separated.
std::string tail(const std::string& text, std::size_t n, bool values = false) {
  const auto lines = lines_of(text);
  std::string joined;
  for (std::size_t i = lines.size() - std::min(n, lines.size()); i < lines.size(); ++i) {
    const auto eq = lines[i].find('=');
    joined +=
        (joined.empty() ? "" : " ") + (values ? lines[i].substr(eq + 1) : lines[i].substr(0, eq));
  }
  return joined;
}

std::string value_of(const std::string& text, const std::string& key) {
  for (const auto& line : lines_of(text)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "(missing)";
}

TEST(EndToEnd, ReportFollowsTheCommandsOutputInOrder) {
  const Outcome r = run({"10", "-1", "-1", "echo base", "printf meas", "extra", "args"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("base\nmeaschildstatus=0\n", 0), 0u) << r.out;
  EXPECT_EQ(tail(r.out, 16), "measchildstatus" + KEYS.substr(KEYS.find(' ')));
  EXPECT_EQ(value_of(r.out, "pid"), std::to_string(r.pid));
  EXPECT_EQ(value_of(r.out, "ppid"), std::to_string(getpid()));
  EXPECT_EQ(value_of(r.out, "pagesize"), std::to_string(getpagesize()));
  EXPECT_NE(value_of(r.out, "mem"), "0");
  EXPECT_NE(value_of(r.out, "basemem"), "0");
}

TEST(EndToEnd, ReportsHowTheMeasuredCommandEnded) {
  const std::string file = std::filesystem::temp_directory_path() / "phase1-test-fsize";
  const struct {
    std::vector<std::string> args;
    const char* status; // the eight status values
  } cases[] = {
      {{"10", "-1", "-1", "", ""}, "0 0 0 0 1 0 0 0"},
      {{"10", "-1", "-1", "true", "exit 3"}, "768 0 0 3 1 0 3 0"},
      {{"10", "-1", "-1", "true", "kill -9 $$"}, "9 1 9 0 0 0 0 0"},
      {{"10", "100000000", "-1", "true", "dd if=/dev/zero of=/dev/null bs=200M count=1 2>&-"},
       "256 0 0 1 1 0 1 0"},
      {{"10", "-1", "1000", "true", "head -c 5000 /dev/zero >" + file}, "39168 0 0 153 1 0 153 0"},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.args);
    EXPECT_EQ(r.exit_code, 0) << c.args[4];
    EXPECT_EQ(tail(r.out, 16), KEYS) << c.args[4];
    EXPECT_EQ(tail(r.out.substr(0, r.out.find("basetime=")), 8, true), c.status) << c.args[4];
  }
  EXPECT_EQ(std::filesystem::file_size(file), 1000u);
  std::filesystem::remove(file);
}

TEST(EndToEnd, CpuCapsEndEachRunAtItsCap) {
  const Outcome r = run({"1", "-1", "-1", "while :; do :; done", "while :; do :; done"});
  EXPECT_EQ(value_of(r.out, "childstatus"), "9");
  for (const char* key : {"basetime", "time"}) {
    const double seconds = std::stod(value_of(r.out, key));
    EXPECT_TRUE(seconds >= 0.9 && seconds < 1.5) << key << '=' << seconds;
  }
}

// "Max cpu time" and the like, as in /proc/self/limits: soft and hard limit.
std::string proc_limit(const std::string& limits, const std::string& name) {
  std::istringstream line(limits.substr(limits.find(name) + name.size()));
  std::string soft, hard;
  line >> soft >> hard;
  return soft + " " + hard;
}

TEST(EndToEnd, CommandsSeeTheirCaps) {
  rlimit own{};
  getrlimit(RLIMIT_FSIZE, &own);
  const std::string inherited =
      own.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(own.rlim_cur);
  const std::string own_fsize =
      inherited + " " +
      (own.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(own.rlim_max));
  const struct {
    const char *cpu, *as, *fsize, *base_cpu, *base_as, *meas_cpu, *meas_as, *meas_fsize;
  } cases[] = {
      {"7", "123456789", "1000000", "1 1", "123456789 123456789", "7 7", "123456789 123456789",
       "1000000 1000000"},
      {"-1", "-1", "-1", "1 1", "unlimited unlimited", "unlimited unlimited", "unlimited unlimited",
       "unlimited unlimited"},
  };
  for (const auto& c : cases) {
    const Outcome r =
        run({c.cpu, c.as, c.fsize, "cat /proc/self/limits", "echo @; cat /proc/self/limits"});
    const std::string base = r.out.substr(0, r.out.find('@')), meas = r.out.substr(r.out.find('@'));
    EXPECT_EQ(proc_limit(base, "Max cpu time"), c.base_cpu);
    EXPECT_EQ(proc_limit(base, "Max address space"), c.base_as);
    EXPECT_EQ(proc_limit(base, "Max file size"), own_fsize);
    EXPECT_EQ(proc_limit(meas, "Max cpu time"), c.meas_cpu);
    EXPECT_EQ(proc_limit(meas, "Max address space"), c.meas_as);
    EXPECT_EQ(proc_limit(meas, "Max file size"), c.meas_fsize);
  }
}

TEST(EndToEnd, RefusesToRunWithoutFiveArgumentsOrWithABadCap) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "usage: phase1 "},
      {{"10", "-1", "-1", "echo ran"}, "usage: phase1 "},
      {{"abc", "-1", "-1", "echo ran", "echo ran"},
       "phase1: argument 1 (CPU-time cap) \"abc\": not a decimal number\n"},
      {{"10", " ", "-1", "echo ran", "echo ran"}, "argument 2 (address-space cap) \" \": not a"},
      {{"10", "-1", "99999999999999999999", "echo ran", "echo ran"},
       "argument 3 (file-size cap) \"99999999999999999999\": out of the signed 64-bit range\n"},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.args);
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
  }
}

TEST(EndToEnd, MeasuredCommandReadsWhatTheBaselineLeft) {
  const Outcome r = run({"10", "-1", "-1", "read -r line", "cat"}, "one\ntwo\n");
  EXPECT_EQ(r.out.rfind("two\nchildstatus=0\n", 0), 0u) << r.out;
}

// Callers in odd states: each still gets the whole report, or a clear failure.
TEST(EndToEnd, HandlesAHostileCaller) {
  const struct {
    const char* name;
    void (*prepare)();
    const char* measured;
    int exit_code;
    const char* out_start;
  } cases[] = {
      {"SIGCHLD ignored", [] { signal(SIGCHLD, SIG_IGN); }, "exit 3", 0, "childstatus=768\n"},
      {"a child left behind",
       [] {
         if (fork() == 0) _exit(0);
       },
       "sleep 0.3; echo late", 0, "late\nchildstatus=0\n"},
      {"standard output full", [] { dup2(open("/dev/full", O_WRONLY), 1); }, "true", 125, ""},
      {"standard output closed", [] { close(1); }, "true", 125, ""},
  };
  for (const auto& c : cases) {
    const Outcome r = run({"10", "-1", "-1", "true", c.measured}, "", c.prepare);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(r.out.rfind(c.out_start, 0), 0u) << c.name << ": " << r.out;
    if (c.exit_code == 0) {
      EXPECT_EQ(tail(r.out, 16), KEYS) << c.name;
      EXPECT_NE(value_of(r.out, "mem"), "0") << c.name;
      EXPECT_EQ(r.err, "") << c.name;
    } else {
      EXPECT_EQ(r.err.rfind("phase1: cannot write the report", 0), 0u) << c.name << ": " << r.err;
    }
  }
}

TEST(EndToEnd, UsageBlockSurvivesTheStatusBlockHittingTheFileSizeCap) {
  const Outcome r = run({"10", "-1", "10", "true", "true"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("childstatubasetime=", 0), 0u) << r.out;
  EXPECT_EQ(tail(r.out, 7), "time basemem mem pagesize ru_majflt pid ppid");
}

TEST(EndToEnd, ReportsAFailedForkAsSystemWould) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  // Copied where an unprivileged user can run it, whatever the build tree's permissions.
  char dir[] = "/tmp/phase1-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::filesystem::path copy = std::filesystem::path(dir) / "phase1";
  std::filesystem::copy_file(binary, copy);
  std::filesystem::permissions(dir, std::filesystem::perms::all &
                                        ~std::filesystem::perms::others_write &
                                        ~std::filesystem::perms::group_write);
  const std::string path = copy.string();
  binary = path.c_str();
  const Outcome r = run({"10", "-1", "-1", "echo base", "echo meas"}, "", [] {
    const rlimit one{1, 1};
    if (setgid(65534) != 0 || setuid(65534) != 0 || setrlimit(RLIMIT_NPROC, &one) != 0) _exit(99);
  });
  binary = PHASE1_BINARY;
  std::filesystem::remove_all(dir);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tail(r.out, 16), KEYS);
  // The status block for -1, then zero usage for both runs.
  EXPECT_EQ(tail(r.out, 16, true).rfind("-1 0 127 255 0 128 255 0 0 0 0 0 ", 0), 0u) << r.out;
  EXPECT_EQ(value_of(r.out, "ru_majflt"), "0");
}

} // namespace
