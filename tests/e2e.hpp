// What the end-to-end tests share: the binary, a sleep found by its arguments, and files.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline const char* binary = PHASE1_BINARY;

// A sleep that no other test process starts: `sleep NAP` is found by its arguments.
inline const std::string NAP = "30." + std::to_string(getpid());

// phase1 copied into a directory of its own with `mode`, so that an unprivileged user can run
// it (and, with 0777, write beside it) whatever the build tree's permissions. Until the copy
// goes, `binary` is the copy; then the directory goes too.
struct RunnableCopy {
  std::string dir;
  std::string path;
  explicit RunnableCopy(mode_t mode) {
    char name[] = "/tmp/phase1-test-XXXXXX";
    dir = mkdtemp(name) != nullptr ? name : "/nonexistent";
    chmod(dir.c_str(), mode);
    path = dir + "/phase1";
    std::filesystem::copy_file(PHASE1_BINARY, path);
    binary = path.c_str();
  }
  RunnableCopy(const RunnableCopy&) = delete;
  RunnableCopy& operator=(const RunnableCopy&) = delete;
  ~RunnableCopy() {
    binary = PHASE1_BINARY;
    std::filesystem::remove_all(dir);
  }
};

// Waits, within generous bounds, for `done`; says whether it came.
inline bool eventually(const auto& done) {
  for (int tries = 0; tries < 1000; ++tries) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

inline int temp_file() {
  char name[] = "/tmp/phase1-test-XXXXXX";
  const int fd = mkstemp(name);
  unlink(name);
  return fd;
}

inline std::string contents(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fd);
  return text;
}

// The processes that run `sleep NAP`.
inline std::vector<pid_t> nappers() {
  const std::string wanted = "sleep" + std::string(1, '\0') + NAP + std::string(1, '\0');
  std::vector<pid_t> found;
  std::error_code error;
  // A process can end while it is looked at: its entry is then skipped, or reads as empty.
  for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string cmdline = contents(open((entry->path() / "cmdline").c_str(), O_RDONLY));
    if (cmdline == wanted) found.push_back(std::stoi(entry->path().filename()));
  }
  return found;
}

// Nothing of a run may outlive phase1 for long; whatever does is cleared away for the next case.
inline void expect_no_nappers(const char* name) {
  EXPECT_TRUE(eventually([] { return nappers().empty(); })) << name << ": a sleep survived";
  for (const pid_t napper : nappers()) kill(napper, SIGKILL);
}

// Sends `SIG` to phase1, or to its process group, once its command is napping.
template <int SIG, bool GROUP> void signal_napping(pid_t pid) {
  ASSERT_TRUE(eventually([] { return !nappers().empty(); })) << "the command never started";
  kill(GROUP ? -pid : pid, SIG);
}

// How one run of phase1 went.
struct Launch {
  int exit_code; // negative: killed by that signal
  std::string out;
  std::string err;
  pid_t pid;
};

// Runs phase1 with `args` and `input` on its standard input. `prepare` runs in the child just
// before exec, with 0, 1 and 2 in place; `during` in the test while phase1 runs, given its pid.
inline Launch launch(const std::vector<std::string>& args, const std::string& input = "",
                     const std::function<void()>& prepare = {},
                     const std::function<void(pid_t)>& during = {}) {
  const int in = temp_file();
  const int out = temp_file();
  const int err = temp_file();
  EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(in, 0, SEEK_SET);
  std::vector<char*> argv{const_cast<char*>(binary)};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    // As from a terminal, whatever the test runner ignores.
    signal(SIGINT, SIG_DFL), signal(SIGQUIT, SIG_DFL);
    if (prepare) prepare();
    execv(binary, argv.data());
    _exit(126);
  }
  if (during) during(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  close(in);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), contents(out), contents(err),
          pid};
}
