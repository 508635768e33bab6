#include "sandbox.hpp"

#include "say.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Where the new root is built: a directory every system has. The run's own tmpfs covers it in
// the run's mount namespace alone, and the host's paths are reached through descriptors.
constexpr const char* STAGING = "/tmp";
constexpr const char* OLD_ROOT = "/tmp/.old-root";
// The host's directories that a run sees read-only, where they exist.
constexpr std::array<const char*, 8> SYSTEM_PATHS{"/usr", "/etc",   "/bin",   "/sbin",
                                                  "/lib", "/lib32", "/lib64", "/libx32"};
constexpr std::array<const char*, 5> DEVICES{"null", "zero", "full", "random", "urandom"};
constexpr std::array<std::pair<const char*, const char*>, 4> DEVICE_LINKS{
    {{"fd", "/proc/self/fd"},
     {"stdin", "/proc/self/fd/0"},
     {"stdout", "/proc/self/fd/1"},
     {"stderr", "/proc/self/fd/2"}}};
// The run's /tmp and /dev/shm: fresh, and bounded so that a run cannot fill the memory with them.
constexpr const char* TMP_OPTIONS = "size=64m,nr_inodes=16k,mode=1777";
constexpr const char* ROOT_OPTIONS = "size=1m,nr_inodes=4k,mode=0755";
constexpr std::size_t PROC_FD_BYTES = 32; // "/proc/self/fd/" and a descriptor
// The directories and files of the new root, made to be mount points.
constexpr mode_t DIR_MODE = 0755;
constexpr mode_t FILE_MODE = 0644;

// The calls that a judged program has no use for, and that widen the kernel's reach or leak
// between runs: refused with EPERM.
constexpr std::array<const char*, 16> REFUSED{
    "keyctl",         "add_key",           "request_key",  "io_uring_setup",
    "io_uring_enter", "io_uring_register", "bpf",          "perf_event_open",
    "userfaultfd",    "init_module",       "finit_module", "delete_module",
    "kexec_load",     "kexec_file_load",   "unshare",      "setns"};
// clone with any of these makes a namespace: refused.
constexpr std::array<unsigned long long, 7> NAMESPACE_FLAGS{
    CLONE_NEWNS,  CLONE_NEWUSER, CLONE_NEWPID,   CLONE_NEWNET,
    CLONE_NEWIPC, CLONE_NEWUTS,  CLONE_NEWCGROUP};

// The seccomp program of the table above, exported from libseccomp.
std::optional<std::vector<sock_filter>> build_filter() {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (ctx == nullptr) return say("cannot build the sandbox's filter");
  bool built = seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)) == 0 &&
               seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 0) == 0;
  for (const char* name : REFUSED) {
    const int call = seccomp_syscall_resolve_name(name);
    built = built &&
            (call == __NR_SCMP_ERROR || seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), call, 0) == 0);
  }
  // clone3's flags are in memory that a filter cannot read: without it, glibc falls back to clone.
  built = built && seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  for (const unsigned long long flag : NAMESPACE_FLAGS) {
    // The first argument, masked with `flag`, is `flag` (SCMP_A0, less its C compound literal).
    const scmp_arg_cmp has_flag{0, SCMP_CMP_MASKED_EQ, flag, flag};
    built = built &&
            seccomp_rule_add_array(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1, &has_flag) == 0;
  }
  std::vector<sock_filter> program;
  const Fd memory(static_cast<int>(syscall(SYS_memfd_create, "phase1-filter", MFD_CLOEXEC)));
  built = built && memory && seccomp_export_bpf(ctx, memory.get()) == 0;
  seccomp_release(ctx);
  const off_t size = built ? lseek(memory.get(), 0, SEEK_CUR) : -1;
  if (size <= 0) return say("cannot build the sandbox's filter");
  program.resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
  if (pread(memory.get(), program.data(), static_cast<std::size_t>(size), 0) != size) {
    return say("cannot build the sandbox's filter: ", last_error());
  }
  return program;
}

// The first number in the file `path`, or none.
std::optional<long> sysctl(const char* path) {
  std::ifstream in(path);
  long value = 0;
  return in >> value ? std::optional(value) : std::nullopt;
}

// Why the kernel would refuse this user a user namespace, if it would.
std::optional<std::string> user_namespaces_refused() {
  if (sysctl("/proc/sys/user/max_user_namespaces") == 0L) {
    return "user.max_user_namespaces is 0 (sysctl -w user.max_user_namespaces=15000 allows them)";
  }
  if (sysctl("/proc/sys/kernel/unprivileged_userns_clone") == 0L) {
    return "kernel.unprivileged_userns_clone is 0 (sysctl -w kernel.unprivileged_userns_clone=1 "
           "allows them)";
  }
  if (sysctl("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == 1L) {
    return "AppArmor restricts them (kernel.apparmor_restrict_unprivileged_userns is 1)";
  }
  return std::nullopt;
}

// `path` below the new root.
std::string staged(const std::string& path) {
  return std::string(STAGING) + path;
}

// A path of the host, a directory or a file, and where the new root shows it.
struct Bound {
  std::string host;
  std::string at;
  bool writable;
};

// Adds the steps that bind `bound`, which `st` describes.
void add_bind(Sandbox& sandbox, const Bound& bound, const struct stat& st) {
  const std::string& at = bound.at;
  using Kind = MountStep::Kind;
  // Its parents first, as directories of the new root.
  for (std::size_t slash = at.find('/', 1); slash != std::string::npos;
       slash = at.find('/', slash + 1)) {
    sandbox.steps.push_back({Kind::directory, staged(at.substr(0, slash)), "", 0});
  }
  sandbox.steps.push_back({S_ISDIR(st.st_mode) ? Kind::directory : Kind::file, staged(at), "", 0});
  const Kind kind = S_ISCHR(st.st_mode) ? Kind::device
                    : bound.writable    ? Kind::bind_writable
                                        : Kind::bind;
  sandbox.steps.push_back({kind, staged(at), "", sandbox.sources.size()});
  sandbox.sources.push_back(bound.host);
}

// Checks that `path` of the host exists, to be bound; says why not.
bool exists(const char* option, const char* path, struct stat& st) {
  return stat(path, &st) == 0 || (say(option, path, ": ", last_error()), false);
}

// A failure in the child: it ends at once, and phase1 says the sandbox could not be made.
[[noreturn]] void fail() {
  _exit(SANDBOX_FAILED);
}

void check(bool done) {
  if (!done) fail();
}

// Writes `text` to the file `path` of /proc.
void write_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  check(fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  (void)close(fd);
}

// The flags that a read-only remount of the bind at `target` must keep: those its source has,
// which a user namespace may not drop.
unsigned long kept_flags(const char* target) {
  struct statvfs fs {};
  if (statvfs(target, &fs) != 0) return 0;
  const std::array<std::pair<unsigned long, unsigned long>, 5> flags{{{ST_NOSUID, MS_NOSUID},
                                                                      {ST_NODEV, MS_NODEV},
                                                                      {ST_NOEXEC, MS_NOEXEC},
                                                                      {ST_NOATIME, MS_NOATIME},
                                                                      {ST_RELATIME, MS_RELATIME}}};
  unsigned long kept = 0;
  for (const auto& [st, ms] : flags) kept |= (fs.f_flag & st) != 0 ? ms : 0;
  return kept;
}

void carry_out(const Sandbox& sandbox, const MountStep& step) {
  const char* const target = step.target.c_str();
  // A bind's source, as the child's descriptor of it.
  std::array<char, PROC_FD_BYTES> source{};
  if (step.from < sandbox.opened.size()) {
    const std::string_view prefix = "/proc/self/fd/";
    char* const end = std::copy(prefix.begin(), prefix.end(), source.data());
    *std::to_chars(end, source.data() + source.size() - 1, sandbox.opened[step.from]).ptr = '\0';
  }
  switch (step.kind) {
  case MountStep::Kind::directory:
    check(mkdir(target, DIR_MODE) == 0 || errno == EEXIST);
    break;
  case MountStep::Kind::file: {
    const int fd = open(target, O_WRONLY | O_CREAT | O_CLOEXEC, FILE_MODE);
    check(fd >= 0 || errno == EEXIST || errno == EROFS);
    if (fd >= 0) (void)close(fd);
    break;
  }
  case MountStep::Kind::link:
    check(symlink(step.source.c_str(), target) == 0);
    break;
  case MountStep::Kind::bind:
  case MountStep::Kind::bind_writable: {
    check(mount(source.data(), target, nullptr, MS_BIND | MS_REC, nullptr) == 0);
    const unsigned long writable = step.kind == MountStep::Kind::bind ? MS_RDONLY : 0;
    check(mount(nullptr, target, nullptr,
                MS_BIND | MS_REMOUNT | MS_NOSUID | MS_NODEV | writable | kept_flags(target),
                nullptr) == 0);
    break;
  }
  case MountStep::Kind::device:
    check(mount(source.data(), target, nullptr, MS_BIND, nullptr) == 0);
    break;
  case MountStep::Kind::tmpfs:
    check(mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, step.source.c_str()) == 0);
    break;
  case MountStep::Kind::proc:
    check(mount("proc", target, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0);
    break;
  }
}

// The loopback device of the run's own network, up.
void loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  check(fd >= 0);
  ifreq request{};
  std::copy_n("lo", 3, static_cast<char*>(request.ifr_name));
  check(ioctl(fd, SIOCGIFFLAGS, &request) == 0);
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  check(ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  (void)close(fd);
}

} // namespace

std::optional<Sandbox> prepare_sandbox(const SandboxRequest& request, bool has_user) {
  const bool root = geteuid() == 0;
  if (root && !has_user) {
    return say("--sandbox as root needs --user=USER: a run in a sandbox is never root");
  }
  if (!root && has_user) {
    return say("--sandbox with --user needs root: as a user, the commands run as that user");
  }
  Sandbox sandbox{};
  sandbox.root = STAGING;
  sandbox.old_root = OLD_ROOT;
  sandbox.share_network = request.share_network;
  sandbox.rootless = !root;
  if (sandbox.rootless) {
    if (const auto why = user_namespaces_refused()) {
      return say("--sandbox as a user needs user namespaces, which the kernel refuses: ", *why);
    }
    sandbox.uid_map = std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1";
    sandbox.gid_map = std::to_string(getegid()) + " " + std::to_string(getegid()) + " 1";
  }
  using Kind = MountStep::Kind;
  struct stat st {};
  if (!exists("--sandbox ", request.dir, st)) return std::nullopt;
  if (!S_ISDIR(st.st_mode)) return say("--sandbox ", request.dir, ": not a directory");
  sandbox.steps.push_back({Kind::tmpfs, STAGING, ROOT_OPTIONS, 0});
  // The run's own mounts first, so that a --bind below /tmp shows above its fresh /tmp.
  sandbox.steps.push_back({Kind::directory, staged("/tmp"), "", 0});
  sandbox.steps.push_back({Kind::tmpfs, staged("/tmp"), TMP_OPTIONS, 0});
  // /dev is a directory of the new root, read-only with it: a run adds nothing there.
  sandbox.steps.push_back({Kind::directory, staged("/dev"), "", 0});
  for (const char* device : DEVICES) {
    const std::string path = std::string("/dev/") + device;
    struct stat node {};
    if (!exists("", path.c_str(), node)) return std::nullopt;
    add_bind(sandbox, {path, path, true}, node);
  }
  for (const auto& [name, text] : DEVICE_LINKS) {
    sandbox.steps.push_back({Kind::link, staged(std::string("/dev/") + name), text, 0});
  }
  sandbox.steps.push_back({Kind::directory, staged("/dev/shm"), "", 0});
  sandbox.steps.push_back({Kind::tmpfs, staged("/dev/shm"), TMP_OPTIONS, 0});
  sandbox.steps.push_back({Kind::directory, staged("/proc"), "", 0});
  sandbox.steps.push_back({Kind::proc, staged("/proc"), "", 0});
  for (const char* path : SYSTEM_PATHS) {
    struct stat system {};
    if (lstat(path, &system) != 0) continue;
    if (!S_ISLNK(system.st_mode)) {
      add_bind(sandbox, {path, path, false}, system);
      continue;
    }
    std::string text(static_cast<std::size_t>(system.st_size) + 1, '\0');
    const ssize_t n = readlink(path, text.data(), text.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= text.size()) continue;
    text.resize(static_cast<std::size_t>(n));
    sandbox.steps.push_back({Kind::link, staged(path), text, 0});
  }
  for (const char* path : request.binds) {
    struct stat bound {};
    if (!exists("--bind ", path, bound)) return std::nullopt;
    add_bind(sandbox, {path, path, false}, bound);
  }
  add_bind(sandbox, {request.dir, "/box", true}, st);
  sandbox.steps.push_back({Kind::directory, OLD_ROOT, "", 0});
  sandbox.opened.assign(sandbox.sources.size(), -1);
  auto filter = build_filter();
  if (!filter) return std::nullopt;
  sandbox.filter = std::move(*filter);
  return sandbox;
}

unsigned long long namespace_flags(const Sandbox& sandbox) {
  return CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS |
         (sandbox.share_network ? 0 : CLONE_NEWNET) | (sandbox.rootless ? CLONE_NEWUSER : 0);
}

void enter_sandbox(const Sandbox& sandbox) {
  if (sandbox.rootless) {
    // The child's /proc files are its own only while it is dumpable, which phase1 is not; and
    // not for long, so that no command can reach its memory.
    check(prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0);
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", sandbox.uid_map);
    write_file("/proc/self/gid_map", sandbox.gid_map);
    check(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0);
  }
  // No handler of phase1's may run in PID 1 of the run's namespace, where a command could
  // signal it; the parent-death signal is SIGKILL, which ends the namespace with it.
  for (const int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGALRM}) {
    struct sigaction action {};
    if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
      (void)std::signal(sig, SIG_DFL);
    }
  }
  // The bounding set goes while the child may still drop it.
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) (void)prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  // Nothing mounted here may show on the host, whatever the host's propagation.
  check(mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0);
  for (std::size_t i = 0; i < sandbox.sources.size(); ++i) {
    sandbox.opened[i] = open(sandbox.sources[i].c_str(), O_PATH | O_CLOEXEC);
    check(sandbox.opened[i] >= 0);
  }
  for (const MountStep& step : sandbox.steps) carry_out(sandbox, step);
  check(syscall(SYS_pivot_root, sandbox.root.c_str(), sandbox.old_root.c_str()) == 0);
  const std::string_view old = std::string_view(sandbox.old_root).substr(sandbox.root.size());
  check(chdir("/") == 0 && umount2(old.data(), MNT_DETACH) == 0 && rmdir(old.data()) == 0);
  check(mount(nullptr, "/", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
              nullptr) == 0);
  check(chdir("/box") == 0);
  if (!sandbox.share_network) loopback_up();
  check(sethostname("box", 3) == 0);
}

void seal_sandbox(const Sandbox& sandbox) {
  // Every capability goes, and nothing can raise one again.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> none{};
  check(prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 &&
        syscall(SYS_capset, &header, none.data()) == 0);
  check(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0);
  sock_fprog program{static_cast<unsigned short>(sandbox.filter.size()),
                     const_cast<sock_filter*>(sandbox.filter.data())};
  check(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0);
}
