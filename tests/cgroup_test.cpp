// End-to-end runs with cgroups. They make cgroups, so they run only in the guest that
// tests/guest/run.sh boots, never on the machine that builds them.
#include "e2e.hpp"

#include <cmath>
#include <fcntl.h>
#include <linux/magic.h>
#include <map>
#include <sched.h>
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
  // The value of `key` as it stands; empty if there is none.
  [[nodiscard]] std::string text(const std::string& key) const {
    const auto at = keys.find(key);
    return at == keys.end() ? "" : at->second;
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

// The names of the cgroups that phase1 `pid` made in `dir`, for its runs and for itself.
std::vector<std::string> of_phase1(const std::string& dir, pid_t pid) {
  const std::string stem = "phase1-" + std::to_string(pid) + "-";
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (name.starts_with(stem)) names.push_back(name);
  }
  return names;
}

bool any_of_phase1(const std::string& dir, pid_t pid) {
  return !of_phase1(dir, pid).empty();
}

// Whether every cgroup that phase1 `pid` made in `dir` has no process left: the lock that
// its processes held is then free, as the kernel drops it before a process leaves its cgroup.
bool all_empty(const std::string& dir, pid_t pid) {
  const auto names = of_phase1(dir, pid);
  return std::all_of(names.begin(), names.end(), [&](const std::string& name) {
    std::ifstream events(dir + "/" + name + "/cgroup.events");
    const std::string text{std::istreambuf_iterator<char>(events), {}};
    return text.find("populated 0") != std::string::npos;
  });
}

// Moves the calling process into the cgroup `dir`; in a child about to run phase1, a failure
// ends it with 99.
void move_to(const std::string& dir) {
  if (!put(dir + "/cgroup.procs", "0")) _exit(99);
}

// phase1's preparation to run as nobody, from the cgroup `dir` when one is given.
std::function<void()> as_nobody(const std::string& dir = "") {
  return [dir] {
    if (!dir.empty()) move_to(dir);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
  };
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
  // Each holds its 50 MiB until the other has its own: the two peaks overlap, however slow.
  const std::string fifty_mib =
      "p='import os, sys, time\nb = b\"x\" * (50 << 20)\nopen(sys.argv[1], \"w\").close()\n"
      "while not os.path.exists(sys.argv[2]): time.sleep(0.05)'; d=$(mktemp -d); "
      "python3 -c \"$p\" $d/a $d/b & python3 -c \"$p\" $d/b $d/a; wait; rm -r $d";
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
      // No CPU cap: a JVM's threads can take many CPU seconds under emulation on a busy host.
      {"Java under --memory-limit=256M, with no address-space cap",
       {"--memory-limit=256M", "-1", "-1", "-1", "true",
        std::string("exec java -cp ") + PHASE1_JAVA_CLASSES + " Alloc"},
       [](const Report& r) {
         if (std::string_view(PHASE1_JAVA_CLASSES).empty()) return; // built without javac
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_NE(r.run.out.find("allocated 40 MiB\n"), std::string::npos);
         EXPECT_GT(r["treepeak"], 40 * 1024);
         EXPECT_EQ(r["oomkilled"], 0);
       }},
      {"Node under --memory-limit=256M",
       {"--memory-limit=256m", "-1", "-1", "-1", "true",
        "exec node -e 'console.log(\"allocated\", Buffer.alloc(40 << 20, 1).length)'"},
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
      {"--processes=1 counts the command's processes: the shell starts, and forks nothing",
       with({AT, "--processes=1"}, "echo hi; (true)"),
       [](const Report& r) {
         EXPECT_EQ(r.run.out.substr(0, 3), "hi\n");
         EXPECT_EQ(r["WEXITSTATUS"], 2);
       }},
      {"--processes with cgroups sets no RLIMIT_NPROC, which would count the user's other runs",
       with({AT, "--processes=5"}, "grep 'Max processes' /proc/self/limits"),
       [](const Report& r) {
         // As phase1 inherited it from this test.
         std::ifstream limits("/proc/self/limits");
         std::string own;
         while (std::getline(limits, own) && !own.starts_with("Max processes")) {
         }
         EXPECT_EQ(r.run.out.substr(0, r.run.out.find('\n')), own);
       }},
      {"the longest CPU limit: its next reading does not overflow the clock",
       with({"--cpu-limit=9223372036"}, "true"),
       [](const Report& r) { EXPECT_EQ(r["cpulimited"], 0); }},
      {"pinned to one CPU, phase1 still reads the CPU limit as often as the run's CPUs need",
       with({"--cpu-limit=1"},
            "L='taskset -pc 0,1 $$ >/dev/null; " + LOOP + R"('; sh -c "$L" & sh -c "$L")"),
       [](const Report& r) {
         EXPECT_EQ(r["cpulimited"], 1);
         EXPECT_LT(r["treetime"], 1.5);
       },
       0,
       [] {
         cpu_set_t one;
         CPU_ZERO(&one);
         CPU_SET(0, &one);
         if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(99);
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
      {"SIGKILL to phase1: the run ends itself, and leaves its cgroups, if any, empty",
       with({AT}, "setsid " + NAPPING + " & " + NAPPING),
       [](const Report& r) {
         EXPECT_TRUE(eventually([] { return nappers().empty(); }));
         // What is left of its cgroups is empty, once its last process, which holds their
         // lock, is out of the way.
         EXPECT_TRUE(eventually([&] { return all_empty(TESTS, r.run.pid); }));
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

// Every `unshare -pf phase1` is pid 1 in its namespace: two of them with one --cgroup must not
// take each other's cgroups for their own, or for stale.
TEST_F(Cgroups, KeepApartThePhase1sOfTwoPidNamespaces) {
  binary = "/usr/bin/unshare";
  check(
      {"a second phase1 with the same pid runs while the first one's run goes on",
       {"-pf", PHASE1_BINARY, AT, "10", "-1", "-1", "true", NAPPING},
       [](const Report& r) { EXPECT_EQ(r.order.size(), 22U) << r.run.out; },
       0,
       {},
       [](pid_t) {
         ASSERT_TRUE(eventually([] { return !nappers().empty(); }));
         const Launch second = launch({"-pf", PHASE1_BINARY, AT, "10", "-1", "-1", "true", "true"});
         EXPECT_EQ(second.exit_code, 0) << second.err;
         for (const pid_t napper : nappers()) kill(napper, SIGKILL);
       }});
  binary = PHASE1_BINARY;
}

// ended= names the cgroup's limits, whatever the program's death looked like.
TEST_F(Cgroups, SayWhichLimitEndedTheRun) {
  const std::string hog = "dd if=/dev/zero of=/dev/null bs=300M count=1";
  const Row rows[] = {
      {"the memory limit's victim, with exec: memory-limit",
       with({"--extended", "--memory-limit=100M"}, "exec " + hog),
       [](const Report& r) {
         EXPECT_EQ(r["WTERMSIG"], 9);
         EXPECT_EQ(r.text("ended"), "memory-limit");
       }},
      {"the memory limit's victim, through the shell (exit 137): memory-limit",
       with({"--extended", "--memory-limit=100M"}, hog + " 2>&-; exit $?"),
       [](const Report& r) {
         EXPECT_EQ(r["WEXITSTATUS"], 137);
         EXPECT_EQ(r.text("ended"), "memory-limit");
       }},
      {"--cpu-limit: cpu-limit, as cpulimited= says", with({"--extended", "--cpu-limit=0.3"}, LOOP),
       [](const Report& r) {
         EXPECT_EQ(r["cpulimited"], 1);
         EXPECT_EQ(r.text("ended"), "cpu-limit");
       }},
  };
  for (const auto& row : rows) check(row);
}

// The interactor is the judge's: outside the runs' cgroups and limits.
TEST_F(Cgroups, LeaveTheInteractorOutsideTheRun) {
  check({"the program killed by its memory limit, the interactor not in its cgroup",
         with({"--interactor=cat /proc/self/cgroup >&2; cat >/dev/null", "--memory-limit=100M"},
              "exec dd if=/dev/zero of=/dev/null bs=300M count=1"),
         [](const Report& r) {
           EXPECT_EQ(r["oomkilled"], 1);
           EXPECT_EQ(r["interactorstatus"], 0);
           EXPECT_EQ(r.order.back(), "firstended");
           EXPECT_EQ(r.run.err.find("phase1-"), std::string::npos) << r.run.err;
         }});
}

// A sandbox each, in a cgroup each: the limits and the figures hold in it.
TEST_F(Cgroups, LimitASandboxedRun) {
  char dir[] = "/tmp/phase1-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  chmod(dir, 0777);
  const std::string box = "--sandbox=" + std::string(dir);
  const std::string as = "--user=nobody";
  const Row rows[] = {
      {"300 MiB under --memory-limit=100M in a sandbox: killed, and oomkilled says why",
       with({as, box, "--memory-limit=100M"}, "exec dd if=/dev/zero of=/dev/null bs=300M count=1"),
       [](const Report& r) {
         EXPECT_EQ(r["WTERMSIG"], 9);
         EXPECT_EQ(r["oomkilled"], 1);
         EXPECT_EQ(r.order, KEYS);
       }},
      {"Java under --memory-limit=256M in a sandbox, its classes bound in",
       {as, box,
        std::string("--bind=") +
            (std::string_view(PHASE1_JAVA_CLASSES).empty() ? "/usr" : PHASE1_JAVA_CLASSES),
        "--memory-limit=256M", "-1", "-1", "-1", "true",
        std::string("exec java -cp ") + PHASE1_JAVA_CLASSES + " Alloc"},
       [](const Report& r) {
         if (std::string_view(PHASE1_JAVA_CLASSES).empty()) return; // built without javac
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_NE(r.run.out.find("allocated 40 MiB\n"), std::string::npos);
         EXPECT_EQ(r["oomkilled"], 0);
       }},
      {"two busy loops under --cpu-limit=1 in a sandbox",
       with({as, box, "--cpu-limit=1"}, LOOP + " & " + LOOP),
       [](const Report& r) {
         EXPECT_EQ(r["cpulimited"], 1);
         EXPECT_GE(r["treetime"], 1);
       }},
      {"a setsid process in a sandbox is gone with the run",
       with({as, box, AT}, "setsid " + NAPPING + " & echo hi"),
       [](const Report& r) {
         EXPECT_EQ(r.run.out.substr(0, 3), "hi\n");
         EXPECT_TRUE(nappers().empty());
         EXPECT_FALSE(any_of_phase1(TESTS, r.run.pid));
       }},
  };
  for (const auto& row : rows) check(row);
  std::filesystem::remove_all(dir);
}

// Where the kernel refuses an ordinary user namespaces, a rootless sandbox is refused at once.
TEST_F(Cgroups, RefuseARootlessSandboxWithoutUserNamespaces) {
  const std::string limit = "/proc/sys/user/max_user_namespaces";
  std::ifstream was(limit);
  const std::string before{std::istreambuf_iterator<char>(was), {}};
  ASSERT_TRUE(put(limit, "0"));
  const RunnableCopy copy(0777);
  check({"user.max_user_namespaces=0: refused, naming it",
         with({"--sandbox=" + copy.dir}, "echo ran", "echo ran"),
         [](const Report& r) {
           EXPECT_EQ(r.run.out, "");
           EXPECT_NE(r.run.err.find("user.max_user_namespaces is 0"), std::string::npos);
         },
         125, as_nobody()});
  put(limit, before);
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
         const auto names = of_phase1(alone, r.run.pid);
         ASSERT_EQ(names.size(), 1U); // the leaf; the runs' cgroups are gone
         EXPECT_EQ(r.run.out.substr(0, r.run.out.find('\n')),
                   "0::/phase1-alone/" + names[0] + "-measured");
         first = r.run.pid;
       },
       0, [&] { move_to(alone); }},
      {"the next phase1 there removes the leaf of the last", with({"--cgroup=" + alone}, "true"),
       [&](const Report& r) {
         EXPECT_EQ(r["childstatus"], 0);
         EXPECT_FALSE(any_of_phase1(alone, first));
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

// Makes the cgroup `dir`, delegated to nobody as systemd delegates one.
void delegate(const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  for (const char* file : {"", "/cgroup.procs", "/cgroup.subtree_control", "/cgroup.threads"}) {
    EXPECT_EQ(chown((dir + file).c_str(), 65534, 65534), 0) << dir << file;
  }
}

TEST_F(Cgroups, WorkForAUserInACgroupDelegatedToIt) {
  const std::string delegated = ROOT + "/phase1-delegated";
  const std::string boxed = ROOT + "/phase1-delegated-box";
  delegate(delegated);
  delegate(boxed);
  const RunnableCopy copy(0755);
  check({"a user's run, memory-limited in its own delegated cgroup",
         with({"--memory-limit=64M"}, "id -u; exec dd if=/dev/zero of=/dev/null bs=100M count=1"),
         [](const Report& r) {
           EXPECT_EQ(r.run.out.substr(0, 6), "65534\n");
           EXPECT_EQ(r["WTERMSIG"], 9);
           EXPECT_EQ(r["oomkilled"], 1);
         },
         0, as_nobody(delegated)});
  check({"a user's sandboxed run, memory-limited in its own delegated cgroup",
         with({"--sandbox=" + copy.dir, "--memory-limit=64M"},
              "id -u; ls /box/phase1; exec dd if=/dev/zero of=/dev/null bs=100M count=1"),
         [](const Report& r) {
           EXPECT_EQ(r.run.out.substr(0, 18), "65534\n/box/phase1\n");
           EXPECT_EQ(r["WTERMSIG"], 9);
           EXPECT_EQ(r["oomkilled"], 1);
         },
         0, as_nobody(boxed)});
  // From the root cgroup, which the user cannot write, no child can be born in its cgroup.
  check({"a user's run that cannot be born in its cgroup: phase1's own failure",
         with({"--cgroup=" + delegated}, "echo ran", "echo ran"),
         [&](const Report& r) {
           EXPECT_EQ(r.run.out, "");
           EXPECT_NE(r.run.err.find("cannot start a run in the cgroup"), std::string::npos);
           EXPECT_FALSE(any_of_phase1(delegated, r.run.pid));
         },
         125, as_nobody()});
  remove_cgroup(delegated);
  remove_cgroup(boxed);
}

} // namespace
