// End-to-end runs with cgroups. They make cgroups, so they run only in the guest that
// tests/guest/run.sh boots, never on the machine that builds them.
#include "e2e.hpp"

#include <cmath>
#include <fcntl.h>
#include <linux/magic.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace {

const std::string ROOT = "/sys/fs/cgroup";
const std::string TESTS = ROOT + "/phase1-tests"; // for --cgroup
const std::string AT = "--cgroup=" + TESTS;
const std::string NAPPING = "sleep " + NAP;
const std::string LOOP = "while :; do :; done";

const std::vector<std::string> KEYS{
    "childstatus",  "WIFSIGNALED", "WTERMSIG",  "WEXITSTATUS", "WIFEXITED",    "WCOREDUMP",
    "WSTOPSIG",     "WIFSTOPPED",  "basetime",  "time",        "basemem",      "mem",
    "pagesize",     "ru_majflt",   "pid",       "ppid",        "basetreetime", "treetime",
    "basetreepeak", "treepeak",    "oomkilled", "cpulimited"};

#ifndef PHASE1_JAVA_CLASSES
#define PHASE1_JAVA_CLASSES ""
#endif

bool in_guest() {
  struct statfs fs {};
  return std::getenv("PHASE1_GUEST") != nullptr && statfs(ROOT.c_str(), &fs) == 0 &&
         fs.f_type == CGROUP2_SUPER_MAGIC;
}

// A run's report, key by key.
struct Report {
  Launch run;
  std::vector<std::string> order;
  std::map<std::string, std::string> keys;

  // The value of `key` as a number; NaN, which fails every comparison, if there is none.
  double operator[](const std::string& key) const {
    const auto at = keys.find(key);
    return at == keys.end() ? NAN : std::stod(at->second);
  }
};

Report report_of(Launch run) {
  Report report{std::move(run), {}, {}};
  std::istringstream in(report.run.out);
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    report.order.push_back(line.substr(0, equals));
    report.keys[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}

struct Row {
  const char* name;
  std::vector<std::string> args;
  std::function<void(const Report&)> expect;
  int exit_code = 0;
  std::function<void()> prepare = {};
  std::function<void(pid_t)> during = {};
};

void check(const Row& row) {
  const Report report = report_of(launch(row.args, "", row.prepare, row.during));
  SCOPED_TRACE(std::string(row.name) + "\n" + report.run.out + report.run.err);
  EXPECT_EQ(report.run.exit_code, row.exit_code);
  row.expect(report);
  expect_no_nappers(row.name);
}

// Writes `text` to the cgroup file `path`.
bool put(const std::string& path, std::string_view text) {
  std::ofstream out(path);
  return static_cast<bool>(out << text << std::flush);
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// The cgroups phase1 `pid` makes in `dir`, for its runs and for itself.
bool any_of_phase1(const std::string& dir, pid_t pid) {
  const std::string name = dir + "/phase1-" + std::to_string(pid);
  return exists(name) || exists(name + "-baseline") || exists(name + "-measured");
}

// Moves the calling process into the cgroup `dir`; in a child about to run phase1, a failure
// ends it with 99.
void move_to(const std::string& dir) {
  if (!put(dir + "/cgroup.procs", "0")) _exit(99);
}

// Ends whatever runs in the cgroup `dir`, then removes it and what is below it.
void remove_cgroup(const std::string& dir) {
  if (!exists(dir)) return;
  put(dir + "/cgroup.kill", "1");
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_directory()) remove_cgroup(entry.path());
  }
  eventually([&] { return rmdir(dir.c_str()) == 0; });
}

class Cgroups : public testing::Test {
protected:
  void SetUp() override {
    if (!in_guest()) GTEST_SKIP() << "makes cgroups: runs only in the guest of tests/guest/run.sh";
    mkdir(TESTS.c_str(), 0755);
  }
  void TearDown() override {
    if (in_guest()) remove_cgroup(TESTS);
  }
};

std::vector<std::string> with(std::vector<std::string> options, const std::string& measured,
                              const std::string& baseline = "true") {
  options.insert(options.end(), {"10", "-1", "-1", baseline, measured});
  return options;
}

TEST_F(Cgroups, LimitTheWholeRun) {
  const std::string fifty_mib = "p='import time; b = b\"x\" * (50 << 20); time.sleep(3)'; "
                                "python3 -c \"$p\" & python3 -c \"$p\"; wait";
  const Row rows[] = {
      {"--cgroup alone: the six keys follow the sixteen, and the child writes its block",
       with({AT}, "echo hi"),
       [](const Report& r) {
         EXPECT_EQ(r.order, KEYS);
         EXPECT_EQ(r.run.out.substr(0, 3), "hi\n");
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_GT(r["treetime"], 0);
         EXPECT_GT(r["treepeak"], 0);
         EXPECT_EQ(r["oomkilled"] + r["cpulimited"], 0);
       }},
      {"Java under --memory-limit=256M, with no address-space cap",
       with({"--memory-limit=256M"}, "exec java -cp " PHASE1_JAVA_CLASSES " Alloc"),
       [](const Report& r) {
         if (std::string_view(PHASE1_JAVA_CLASSES).empty()) return; // built without javac
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_NE(r.run.out.find("allocated 40 MiB\n"), std::string::npos);
         EXPECT_GT(r["treepeak"], 40 * 1024);
         EXPECT_EQ(r["oomkilled"], 0);
       }},
      {"Node under --memory-limit=256M",
       with({"--memory-limit=256m"},
            "exec node -e 'console.log(\"allocated\", Buffer.alloc(40 << 20, 1).length)'"),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_NE(r.run.out.find("allocated 41943040\n"), std::string::npos);
       }},
      {"300 MiB under --memory-limit=100M: the program is killed, and oomkilled says why",
       with({"--memory-limit=100M"}, "exec dd if=/dev/zero of=/dev/null bs=300M count=1"),
       [](const Report& r) {
         EXPECT_EQ(r["WTERMSIG"], 9);
         EXPECT_EQ(r["oomkilled"], 1);
         EXPECT_LE(r["treepeak"], 100 * 1024);
       }},
      {"two processes of 50 MiB: treepeak counts both, maxrss the larger",
       with({AT, "--extended"}, fifty_mib),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_GE(r["treepeak"], 100 * 1024);
         EXPECT_GT(r["treepeak"], r["maxrss"]);
       }},
      {"two busy loops under --cpu-limit=1 share it", with({"--cpu-limit=1"}, LOOP + " & " + LOOP),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 9);
         EXPECT_EQ(r["cpulimited"], 1);
         EXPECT_GE(r["treetime"], 1);
         EXPECT_LT(r["treetime"], 1.5);
       }},
      {"a fractional CPU limit", with({"--cpu-limit=.3"}, LOOP),
       [](const Report& r) {
         EXPECT_EQ(r["cpulimited"], 1);
         EXPECT_GE(r["treetime"], 0.3);
         EXPECT_LT(r["treetime"], 0.6);
       }},
      {"a CPU limit not reached: the parent writes the command's own status",
       with({"--cpu-limit=30"}, "exit 3"),
       [](const Report& r) {
         EXPECT_EQ(r.order, KEYS);
         EXPECT_EQ(r["WEXITSTATUS"], 3);
         EXPECT_EQ(r["cpulimited"], 0);
       }},
      {"an orphan's CPU time is counted in treetime, not in time",
       with({AT}, "(" + LOOP + ") & sleep 1"),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_GT(r["treetime"], r["time"] + 0.4);
       }},
      {"--processes binds root through pids.max",
       with({AT, "--processes=2"}, "cat /dev/null | cat"),
       [](const Report& r) {
         EXPECT_EQ(r["WEXITSTATUS"], 2);
         EXPECT_NE(r.run.err.find("fork"), std::string::npos);
       }},
      {"the wall limit ends a setsid process with the run",
       with({AT, "--wall-limit=1", "--extended"}, "setsid " + NAPPING),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 9);
         EXPECT_EQ(r["timedout"], 1);
         EXPECT_EQ(r["cpulimited"], 0);
       }},
  };
  for (const auto& row : rows) check(row);
}

TEST_F(Cgroups, LeaveNothingOfARunBehind) {
  static pid_t killed = 0;
  const Row rows[] = {
      {"a setsid process is gone as soon as phase1 has ended, and so are the runs' cgroups",
       with({AT}, "setsid " + NAPPING + " & echo hi"),
       [](const Report& r) {
         EXPECT_TRUE(nappers().empty());
         EXPECT_FALSE(any_of_phase1(TESTS, r.run.pid));
         EXPECT_EQ(r["childstatus"], 0);
       }},
      {"SIGTERM to phase1 ends the run, then phase1",
       with({AT}, "setsid " + NAPPING + " & " + NAPPING),
       [](const Report& r) { EXPECT_EQ(r.run.out, ""); },
       -SIGTERM,
       {},
       signal_napping<SIGTERM, false>},
      {"SIGKILL to phase1: the run ends itself, and leaves its cgroups empty",
       with({AT}, "setsid " + NAPPING + " & " + NAPPING),
       [](const Report& r) {
         EXPECT_TRUE(eventually([] { return nappers().empty(); }));
         EXPECT_TRUE(any_of_phase1(TESTS, r.run.pid));
         killed = r.run.pid;
       },
       -SIGKILL,
       {},
       signal_napping<SIGKILL, false>},
      {"the next phase1 removes them", with({AT}, "true"),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_FALSE(any_of_phase1(TESTS, killed));
       }},
  };
  for (const auto& row : rows) check(row);
}

TEST_F(Cgroups, FindTheirPlaceOrRefuse) {
  const std::string alone = ROOT + "/phase1-alone";
  const std::string crowd = ROOT + "/phase1-crowd";
  for (const auto& dir : {alone, crowd}) mkdir(dir.c_str(), 0755);
  // Another process in the crowd.
  const pid_t other = fork();
  if (other == 0) {
    move_to(crowd);
    pause();
    _exit(0);
  }
  ASSERT_TRUE(eventually([&] { return std::ifstream(crowd + "/cgroup.procs").peek() != EOF; }));
  static pid_t first = 0;
  const Row rows[] = {
      {"from the root, the runs' cgroups go there", with({"--memory-limit=1G"}, "true"),
       [](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_FALSE(any_of_phase1(ROOT, r.run.pid));
       },
       0},
      {"alone in its cgroup, phase1 moves into a leaf of its own",
       with({"--memory-limit=1G"}, "cat /proc/$PPID/cgroup"),
       [&](const Report& r) {
         EXPECT_EQ(r.run.out.substr(0, r.run.out.find('\n')),
                   "0::/phase1-alone/phase1-" + std::to_string(r.run.pid) + "-measured");
         EXPECT_TRUE(exists(alone + "/phase1-" + std::to_string(r.run.pid)));
         first = r.run.pid;
       },
       0, [&] { move_to(alone); }},
      {"the next phase1 there removes the leaf of the last", with({"--cgroup=" + alone}, "true"),
       [&](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_FALSE(exists(alone + "/phase1-" + std::to_string(first)));
       }},
      {"not alone in its cgroup: refused, naming both remedies",
       with({"--cpu-limit=1"}, "echo ran"),
       [](const Report& r) {
         EXPECT_EQ(r.run.out, "");
         EXPECT_NE(r.run.err.find("--cgroup=DIR"), std::string::npos);
         EXPECT_NE(r.run.err.find("systemd-run --scope -p Delegate=yes"), std::string::npos);
       },
       125, [&] { move_to(crowd); }},
      {"--cgroup naming a cgroup with processes of its own: refused, saying so",
       with({"--cgroup=" + crowd}, "echo ran"),
       [](const Report& r) {
         EXPECT_EQ(r.run.out, "");
         EXPECT_NE(r.run.err.find("(it holds processes of its own)\n"), std::string::npos);
       },
       125},
      {"--cgroup naming no cgroup", with({"--cgroup=/tmp"}, "echo ran"),
       [](const Report& r) {
         EXPECT_EQ(r.run.err, "phase1: /tmp is not a cgroup v2 directory; the runs' cgroups "
                              "need cgroup v2 with the memory controller\n");
       },
       125},
  };
  for (const auto& row : rows) check(row);
  remove_cgroup(crowd);
  waitpid(other, nullptr, 0);
  remove_cgroup(alone);
}

TEST_F(Cgroups, WorkForAUserInACgroupDelegatedToIt) {
  const std::string delegated = ROOT + "/phase1-delegated";
  mkdir(delegated.c_str(), 0755);
  for (const char* file : {"", "/cgroup.procs", "/cgroup.subtree_control", "/cgroup.threads"}) {
    ASSERT_EQ(chown((delegated + file).c_str(), 65534, 65534), 0) << file;
  }
  // Copied where the user can run it.
  char dir[] = "/tmp/phase1-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  chmod(dir, 0755);
  const std::string copy = std::string(dir) + "/phase1";
  std::filesystem::copy_file(binary, copy);
  binary = copy.c_str();
  check({"a user's run, memory-limited in its own delegated cgroup",
         with({"--memory-limit=64M"}, "id -u; exec dd if=/dev/zero of=/dev/null bs=100M count=1"),
         [](const Report& r) {
           EXPECT_EQ(r.run.out.substr(0, 6), "65534\n");
           EXPECT_EQ(r["WTERMSIG"], 9);
           EXPECT_EQ(r["oomkilled"], 1);
         },
         0,
         [&] {
           move_to(delegated);
           if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
         }});
  binary = PHASE1_BINARY;
  std::filesystem::remove_all(dir);
  remove_cgroup(delegated);
}

} // namespace
