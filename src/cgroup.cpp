#include "cgroup.hpp"

#include "say.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace {

// The cgroup v2 files that phase1 reads and writes.
namespace v2 {
constexpr const char* CONTROLLERS = "cgroup.controllers";
constexpr const char* SUBTREE_CONTROL = "cgroup.subtree_control";
constexpr const char* PROCS = "cgroup.procs";
constexpr const char* TYPE = "cgroup.type"; // in every cgroup but the root
constexpr const char* EVENTS = "cgroup.events";
constexpr const char* KILL = "cgroup.kill";
constexpr const char* CPU_STAT = "cpu.stat";
constexpr const char* MEMORY_MAX = "memory.max";
constexpr const char* SWAP_MAX = "memory.swap.max";
constexpr const char* MEMORY_PEAK = "memory.peak";
constexpr const char* MEMORY_EVENTS = "memory.events";
constexpr const char* PIDS_MAX = "pids.max";
} // namespace v2

// phase1's cgroups are named PREFIX, its pid and random hex digits (the stem), and for the runs'
// a suffix. The pid is for people; the digits keep the phase1s of two PID namespaces apart.
constexpr std::string_view PREFIX = "phase1-";
constexpr std::array<std::string_view, 2> RUN_SUFFIXES{"-baseline", "-measured"};
constexpr std::size_t RANDOM_BYTES = 8;
constexpr mode_t CGROUP_MODE = 0755;
// Read in pieces of this size: cgroup files are small.
constexpr std::size_t READ_PIECE = 512;
// How often a cgroup that another phase1's sweep took for stale is made again.
constexpr int MAKE_TRIES = 3;
// How long the kernel may take to end a killed run's last process.
constexpr auto EMPTYING_TIME = std::chrono::seconds(10);

constexpr std::string_view NEED_V2 = "the runs' cgroups need cgroup v2 with the memory controller";

using namespace cgroup_text;

// The whole of a small file, read from its start.
std::optional<std::string> read_fd(int fd) {
  std::string text;
  std::array<char, READ_PIECE> buffer{};
  for (;;) {
    const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

Fd open_at(int dir, const char* name, int flags) {
  return Fd(openat(dir, name, flags | O_CLOEXEC));
}

std::optional<std::string> read_at(int dir, const char* name) {
  const Fd fd = open_at(dir, name, O_RDONLY);
  return fd ? read_fd(fd.get()) : std::nullopt;
}

// Writes `text` to the file `name` in `dir`; errno says why not.
bool write_at(int dir, const char* name, std::string_view text) {
  const Fd fd = open_at(dir, name, O_WRONLY);
  return fd && write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Where the cgroup2 file system is mounted, from /proc/self/mountinfo; its root must be the
// hierarchy's, or phase1's own cgroup path would not lead into it.
std::optional<std::string> cgroup2_mount() {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    const auto dash = line.find(" - ");
    constexpr std::string_view TYPE = " - cgroup2 ";
    if (dash == std::string::npos || line.compare(dash, TYPE.size(), TYPE) != 0) continue;
    // id parent major:minor root mount-point ...
    std::array<std::string_view, 5> fields{}; // NOLINT(readability-magic-numbers)
    std::string_view rest = line;
    for (auto& f : fields) {
      const auto space = rest.find(' ');
      f = rest.substr(0, space);
      rest.remove_prefix(std::min(space + 1, rest.size()));
    }
    if (fields[3] == "/") return std::string(fields[4]);
  }
  return std::nullopt;
}

// phase1's own cgroup, from the "0::" line of /proc/self/cgroup.
std::optional<std::string> own_cgroup(const std::string& mount) {
  std::ifstream in("/proc/self/cgroup");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("0::/")) return line.size() == 4 ? mount : mount + line.substr(3);
  }
  return std::nullopt;
}

bool is_cgroup2(const std::string& path) {
  struct statfs fs {};
  return statfs(path.c_str(), &fs) == 0 && fs.f_type == CGROUP2_SUPER_MAGIC;
}

// phase1's own cgroup: one that phase1 is alone in, and leaves for a leaf of its own, or the
// root.
std::optional<CgroupParent> own_parent() {
  const auto mount = cgroup2_mount();
  const auto own = mount ? own_cgroup(*mount) : std::nullopt;
  if (!own) return say(NEED_V2);
  Fd fd(open(own->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return say("cannot open phase1's cgroup ", *own, ": ", last_error());
  if (read_at(fd.get(), v2::PROCS) == std::to_string(getpid()) + "\n") {
    return CgroupParent{*own, std::move(fd), true};
  }
  if (faccessat(fd.get(), v2::TYPE, F_OK, 0) != 0 && errno == ENOENT) {
    return CgroupParent{*own, std::move(fd), false};
  }
  return say("phase1 shares its cgroup ", *own,
             " with other processes; name a cgroup to use with --cgroup=DIR, or start phase1 "
             "with systemd-run --scope -p Delegate=yes (and --user, as a user)");
}

std::optional<CgroupParent> named_parent(const char* dir) {
  Fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return say("cannot use the cgroup ", dir, ": ", last_error());
  if (!is_cgroup2(dir)) return say(dir, " is not a cgroup v2 directory; ", NEED_V2);
  if (faccessat(fd.get(), v2::SUBTREE_CONTROL, W_OK, AT_EACCESS) != 0) {
    return say("cannot use the cgroup ", dir, ": ", last_error());
  }
  return CgroupParent{dir, std::move(fd), false};
}

} // namespace

namespace cgroup_text {

std::optional<std::int64_t> number(std::string_view text) {
  std::int64_t value = 0;
  const bool read =
      std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc{};
  return read ? std::optional(value) : std::nullopt;
}

std::optional<std::int64_t> field(std::string_view text, std::string_view key) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ' ') {
      return number(line.substr(key.size() + 1));
    }
    at = end + 1;
  }
  return std::nullopt;
}

bool has_word(std::string_view text, std::string_view word) {
  for (std::size_t at = 0; (at = text.find(word, at)) != std::string_view::npos; ++at) {
    const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n';
    const std::size_t end = at + word.size();
    if (starts && (end == text.size() || text[end] == ' ' || text[end] == '\n')) return true;
  }
  return false;
}

std::optional<int> cpu_count(std::string_view list) {
  while (!list.empty() && (list.back() == '\n' || list.back() == ' ')) list.remove_suffix(1);
  int count = 0;
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = std::min(list.find(',', at), list.size());
    const std::string_view range = list.substr(at, end - at);
    const std::size_t dash = range.find('-');
    int first = 0;
    int last = 0;
    const auto read = [](std::string_view text, int& value) {
      const auto [p, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      return error == std::errc{} && p == text.data() + text.size();
    };
    if (!read(range.substr(0, dash), first) ||
        !read(dash == std::string_view::npos ? range : range.substr(dash + 1), last) ||
        last < first) {
      return std::nullopt;
    }
    count += last - first + 1;
    at = end + 1;
  }
  return count > 0 ? std::optional(count) : std::nullopt;
}

} // namespace cgroup_text

namespace {

// A stem that no other phase1 has, whatever its PID namespace.
std::string new_stem() {
  std::array<unsigned char, RANDOM_BYTES> bytes{};
  if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    // Without the kernel's randomness, the clock: the lock still keeps a live phase1's own.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(bytes.data(), &now, std::min(sizeof now, bytes.size()));
  }
  std::string stem = std::string(PREFIX) + std::to_string(getpid()) + "-";
  constexpr std::string_view HEX = "0123456789abcdef";
  constexpr unsigned NIBBLE = 4;
  constexpr unsigned LOW = 0xf;
  for (const unsigned char byte : bytes) {
    stem += HEX[byte >> NIBBLE];
    stem += HEX[byte & LOW];
  }
  return stem;
}

// Whether `name` is one that a phase1 gives its cgroups: a stem, then a run's suffix or none.
bool is_phase1s(std::string_view name) {
  if (!name.starts_with(PREFIX)) return false;
  name.remove_prefix(PREFIX.size());
  const std::size_t digits = std::min(name.find_first_not_of("0123456789"), name.size());
  if (digits == 0 || name.size() < digits + 1 + 2 * RANDOM_BYTES || name[digits] != '-') {
    return false;
  }
  name.remove_prefix(digits + 1);
  const std::string_view random = name.substr(0, 2 * RANDOM_BYTES);
  if (random.find_first_not_of("0123456789abcdef") != std::string_view::npos) return false;
  const std::string_view suffix = name.substr(2 * RANDOM_BYTES);
  return suffix.empty() ||
         std::find(RUN_SUFFIXES.begin(), RUN_SUFFIXES.end(), suffix) != RUN_SUFFIXES.end();
}

// Makes the cgroup `name` in `parent` and opens it, locked: the lock, which the kernel drops
// when every process that holds it has gone, tells other phase1s that it is not stale.
std::optional<Fd> make_locked(const CgroupParent& parent, const std::string& name) {
  const int at = parent.fd.get();
  for (int tries = 0; tries < MAKE_TRIES; ++tries) {
    if (mkdirat(at, name.c_str(), CGROUP_MODE) != 0 && errno != EEXIST) return std::nullopt;
    Fd dir = open_at(at, name.c_str(), O_RDONLY | O_DIRECTORY);
    if (!dir) {
      if (errno == ENOENT) continue;
      return std::nullopt;
    }
    while (flock(dir.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return std::nullopt;
    }
    // Another phase1's sweep may have taken it for stale between the mkdir and the lock.
    struct stat locked {};
    struct stat named {};
    if (fstat(dir.get(), &locked) == 0 && fstatat(at, name.c_str(), &named, 0) == 0 &&
        locked.st_ino == named.st_ino && locked.st_dev == named.st_dev) {
      return dir;
    }
  }
  errno = EAGAIN;
  return std::nullopt;
}

} // namespace

std::optional<CgroupParent> find_parent(const char* dir) {
  auto parent = dir != nullptr ? named_parent(dir) : own_parent();
  if (parent && faccessat(parent->fd.get(), ".", W_OK, AT_EACCESS) != 0) {
    return say("cannot make cgroups in ", parent->path, ": ", last_error());
  }
  return parent;
}

std::optional<std::string> controllers_for(const CgroupParent& parent, bool pids_needed) {
  const auto available = read_at(parent.fd.get(), v2::CONTROLLERS);
  if (!available || !has_word(*available, "memory")) return say(NEED_V2);
  const bool pids = has_word(*available, "pids");
  if (pids_needed && !pids) {
    return say("--processes with cgroups needs the pids controller in ", parent.path);
  }
  const auto enabled = read_at(parent.fd.get(), v2::SUBTREE_CONTROL).value_or("");
  std::string wanted;
  if (!has_word(enabled, "memory")) wanted += "+memory ";
  if (pids && !has_word(enabled, "pids")) wanted += "+pids ";
  return wanted;
}

std::optional<Settlement> settle_in(const CgroupParent& parent, const std::string& controllers) {
  Settlement settlement{new_stem(), Fd(), ""};
  if (parent.leave) {
    const std::string path = parent.path + "/" + settlement.stem;
    auto leaf = make_locked(parent, settlement.stem);
    if (!leaf) return say("cannot make the cgroup ", path, ": ", last_error());
    settlement.leaf = std::move(*leaf);
    if (!write_at(settlement.leaf.get(), v2::PROCS, std::to_string(getpid()))) {
      const Errno error = last_error();
      unsettle(parent, settlement);
      return say("cannot move phase1 into ", path, ": ", error);
    }
  }
  if (controllers.empty() || write_at(parent.fd.get(), v2::SUBTREE_CONTROL, controllers)) {
    settlement.enabled = controllers;
    return settlement;
  }
  const Errno error = last_error();
  unsettle(parent, settlement);
  return say("cannot enable the memory and pids controllers in ", parent.path, ": ", error,
             error.value == EBUSY ? " (it holds processes of its own)" : "");
}

void unsettle(const CgroupParent& parent, Settlement& settlement) {
  std::string disable = settlement.enabled;
  std::replace(disable.begin(), disable.end(), '+', '-');
  if (!disable.empty()) (void)write_at(parent.fd.get(), v2::SUBTREE_CONTROL, disable);
  settlement.enabled.clear();
  if (settlement.leaf) {
    (void)write_at(parent.fd.get(), v2::PROCS, std::to_string(getpid()));
    settlement.leaf.reset();
    (void)unlinkat(parent.fd.get(), settlement.stem.c_str(), AT_REMOVEDIR);
  }
}

void remove_stale(const CgroupParent& parent) {
  const int fd = openat(parent.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* const dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) (void)close(fd);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (!is_phase1s(entry->d_name)) continue;
    // A cgroup that a live phase1 has made is locked; one that is not, is stale, and goes if
    // it is empty. The lock is held while it goes, so that its maker can tell.
    const Fd cgroup = open_at(parent.fd.get(), entry->d_name, O_RDONLY | O_DIRECTORY);
    if (cgroup && flock(cgroup.get(), LOCK_EX | LOCK_NB) == 0) {
      (void)unlinkat(parent.fd.get(), entry->d_name, AT_REMOVEDIR);
    }
  }
  (void)closedir(dir);
}

std::optional<RunCgroup> make_run_cgroup(const CgroupParent& parent, const Settlement& settlement,
                                         Role role, std::int64_t memory_bytes,
                                         std::optional<std::int64_t> pids_max) {
  const std::string name =
      settlement.stem + std::string(RUN_SUFFIXES[role == Role::baseline ? 0 : 1]);
  const std::string path = parent.path + "/" + name;
  auto dir = make_locked(parent, name);
  if (!dir) return say("cannot make the cgroup ", path, ": ", last_error());
  RunCgroup cgroup{path, std::move(*dir), {}, {}, {}, {}, {}};
  // Whatever fails below, the cgroup goes again, and says the error of the call that failed.
  const auto fail = [&](const char* what, Errno error) {
    unmake(std::move(cgroup));
    return say("cannot set up the cgroup ", path, " (", what, "): ", error);
  };
  const int at = cgroup.dir.get();
  if (faccessat(at, v2::KILL, F_OK, 0) != 0) {
    const Errno error = last_error();
    unmake(std::move(cgroup));
    return say("the runs' cgroups need Linux 5.14 or later: ", path, " has no ", v2::KILL, " (",
               error, ")");
  }
  struct Opened {
    Fd RunCgroup::*member;
    const char* file;
    int flags;
  };
  const std::array<Opened, 4> files{{{&RunCgroup::kill, v2::KILL, O_WRONLY},
                                     {&RunCgroup::events, v2::EVENTS, O_RDONLY},
                                     {&RunCgroup::cpu_stat, v2::CPU_STAT, O_RDONLY},
                                     {&RunCgroup::memory_events, v2::MEMORY_EVENTS, O_RDONLY}}};
  for (const auto& file : files) {
    cgroup.*file.member = open_at(at, file.file, file.flags);
    if (!(cgroup.*file.member)) return fail(file.file, last_error());
  }
  cgroup.memory_peak = open_at(at, v2::MEMORY_PEAK, O_RDONLY); // newer kernels only
  if (memory_bytes >= 0) {
    if (!write_at(at, v2::MEMORY_MAX, std::to_string(memory_bytes))) {
      return fail(v2::MEMORY_MAX, last_error());
    }
    if (faccessat(at, v2::SWAP_MAX, F_OK, 0) == 0 && !write_at(at, v2::SWAP_MAX, "0")) {
      return fail(v2::SWAP_MAX, last_error());
    }
  }
  const std::string pids = pids_max && *pids_max >= 0 ? std::to_string(*pids_max) : "max";
  if (pids_max && !write_at(at, v2::PIDS_MAX, pids)) {
    return fail(v2::PIDS_MAX, last_error());
  }
  return cgroup;
}

void unmake(RunCgroup cgroup) {
  const std::string path = std::move(cgroup.path);
  cgroup = RunCgroup{};
  (void)rmdir(path.c_str());
}

int usable_cpus(const RunCgroup& cgroup) {
  const auto cpuset = read_at(cgroup.dir.get(), "cpuset.cpus.effective");
  if (const auto count = cpuset ? cpu_count(*cpuset) : std::nullopt) return *count;
  return static_cast<int>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L));
}

void kill_cgroup(int kill_fd) {
  if (kill_fd >= 0) (void)pwrite(kill_fd, "1", 1, 0);
}

std::chrono::microseconds cpu_used(const RunCgroup& cgroup) {
  const auto text = read_fd(cgroup.cpu_stat.get());
  return std::chrono::microseconds(text ? field(*text, "usage_usec").value_or(0) : 0);
}

TreeFigures drain(RunCgroup cgroup) {
  kill_cgroup(cgroup.kill.get());
  // cgroup.events changes, and polls as urgent, when the last process has gone.
  const auto until = std::chrono::steady_clock::now() + EMPTYING_TIME;
  bool settled = false;
  while (!(settled = field(read_fd(cgroup.events.get()).value_or(""), "populated") == 0) &&
         std::chrono::steady_clock::now() < until) {
    pollfd fd{cgroup.events.get(), POLLPRI, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    (void)poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 1)));
  }
  const auto peak = cgroup.memory_peak ? read_fd(cgroup.memory_peak.get()) : std::nullopt;
  const TreeFigures figures{
      cpu_used(cgroup).count(),
      peak ? number(*peak).value_or(-1) : -1,
      field(read_fd(cgroup.memory_events.get()).value_or(""), "oom_kill").value_or(0),
      settled,
  };
  const std::string path = std::move(cgroup.path);
  cgroup = RunCgroup{}; // its descriptors are closed before it goes
  if (settled) (void)rmdir(path.c_str());
  return figures;
}
