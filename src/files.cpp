#include "files.hpp"

#include "say.hpp"

#include <deque>
#include <fcntl.h>
#include <linux/magic.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int STANDARD_DESCRIPTORS = 3; // input, output and error
constexpr mode_t RUN_FILE_MODE = 0666;  // as the shell's > makes them, less the umask
constexpr mode_t REPORT_MODE = 0644;    // writable by phase1's caller alone, whatever the umask
constexpr int MOST_LINKS = 40;          // as the kernel follows in one path

bool stat_of(int fd, struct stat& st) {
  return fstat(fd, &st) == 0;
}

// Whether `a` and `b` are one file, or will be: a file that exists by its device and inode, one
// to be made by its directory and name.
bool same_file(const Found& a, const Found& b) {
  struct stat sa {};
  struct stat sb {};
  if (a.fd && b.fd) {
    return stat_of(a.fd.get(), sa) && stat_of(b.fd.get(), sb) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  }
  return !a.fd && !b.fd && a.name == b.name && stat_of(a.dir.get(), sa) &&
         stat_of(b.dir.get(), sb) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A terminal or /dev/null can be several things at once; a file, a pipe or a socket cannot.
bool is_device(const Found& f) {
  struct stat st {};
  return f.fd && stat_of(f.fd.get(), st) && S_ISCHR(st.st_mode);
}

bool is_type(int fd, mode_t type) {
  struct stat st {};
  return stat_of(fd, st) && (st.st_mode & S_IFMT) == type;
}

// Whether the run's user could write the directory `dir`, and so plant links in it.
bool writable_by(const std::optional<RunUser>& user, int dir) {
  if (!user) return false;
  return as_user(user, [&] { return faccessat(dir, ".", W_OK, AT_EACCESS) == 0; }).value_or(true);
}

bool on_procfs(int dir) {
  struct statfs fs {};
  return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The names of `path`, in order; "." and empty names left out but for a lone ".".
std::deque<std::string> names_of(std::string_view path) {
  std::deque<std::string> names;
  for (std::size_t at = 0; at <= path.size();) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    const std::string_view name = path.substr(at, end - at);
    if (!name.empty() && name != ".") names.emplace_back(name);
    at = end + 1;
  }
  if (names.empty()) names.emplace_back(".");
  return names;
}

Fd open_root(std::string_view path) {
  return Fd(open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Finds the report's file `path` for writing, one name at a time. The links of directories that
// the run's user cannot write are followed (those of /proc by the kernel, as they lead to no
// path); from the first directory that it can write, none is, so that no link of its making
// leads phase1 anywhere.
std::optional<Found> find_report(const char* path, const std::optional<RunUser>& user) {
  const auto cannot = [&](auto... why) { return say("cannot open ", path, ": ", why...); };
  auto rest = names_of(path);
  Fd dir = open_root(path);
  if (!dir) return cannot(last_error());
  bool guarded = writable_by(user, dir.get());
  for (int links = 0;;) {
    const std::string name = std::move(rest.front());
    rest.pop_front();
    const bool last = rest.empty();
    struct stat st {};
    if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && last) return Found{path, Fd(), std::move(dir), name, guarded};
      return cannot(last_error());
    }
    const bool follow_here = S_ISLNK(st.st_mode) && !guarded && !on_procfs(dir.get());
    if (S_ISLNK(st.st_mode) && guarded) {
      return cannot("a symbolic link where the commands' user can write");
    }
    if (follow_here) {
      if (++links > MOST_LINKS) return cannot(Errno{ELOOP});
      std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
      const ssize_t n = readlinkat(dir.get(), name.c_str(), target.data(), target.size());
      if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return cannot(last_error());
      target.resize(static_cast<std::size_t>(n));
      const auto names = names_of(target);
      rest.insert(rest.begin(), names.begin(), names.end());
      if (target.starts_with('/')) {
        dir = open_root(target);
        guarded = writable_by(user, dir.get());
      }
      continue;
    }
    // A link of /proc is the kernel's to follow; anything else is opened as it is.
    const int nofollow = S_ISLNK(st.st_mode) ? 0 : O_NOFOLLOW;
    if (last) {
      Fd fd(
          openat(dir.get(), name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | nofollow));
      if (!fd) return cannot(last_error());
      return Found{path, std::move(fd), std::move(dir), name, guarded};
    }
    Fd next(openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | nofollow));
    if (!next) return cannot(last_error());
    dir = std::move(next);
    guarded = guarded || writable_by(user, dir.get());
  }
}

// Finds a run's file `path`, opened with `flags` as the run's user would open it; a file that
// does not exist is to be made, where `make`.
std::optional<Found> find_run_file(const char* path, int flags, bool make,
                                   const std::optional<RunUser>& user) {
  return as_user(user, [&]() -> std::optional<Found> {
    const std::string_view text = path;
    const std::size_t slash = text.rfind('/');
    const std::string dir_path = slash == std::string_view::npos ? "."
                                 : slash == 0                    ? "/"
                                              : std::string(text.substr(0, slash));
    std::string name(slash == std::string_view::npos ? text : text.substr(slash + 1));
    if (name.empty()) name = ".";
    Fd dir(open(dir_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    Fd fd(dir ? openat(dir.get(), name.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1);
    if (!fd && errno == ENOENT && make && dir)
      return Found{path, Fd(), std::move(dir), name, false};
    if (!fd) return say("cannot open ", path, ": ", last_error());
    return Found{path, std::move(fd), std::move(dir), name, false};
  });
}

// Makes `found`, or reports that it cannot; the file is then its own.
bool make(Found& found, mode_t mode) {
  // A guarded name is made new, never through a link; another may be a link of the user's to
  // a file that does not exist yet, as the shell's > would follow it.
  const int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  found.fd = Fd(openat(found.dir.get(), found.name.c_str(),
                       flags | (found.guarded ? O_EXCL | O_NOFOLLOW : 0), mode));
  return found.fd || (say("cannot make ", found.path, ": ", last_error()), false);
}

// Removes what `found` made, if it is still what is there.
void unmake(const Found& found) {
  struct stat made {};
  struct stat named {};
  if (found.fd && stat_of(found.fd.get(), made) &&
      fstatat(found.dir.get(), found.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      made.st_dev == named.st_dev && made.st_ino == named.st_ino) {
    (void)unlinkat(found.dir.get(), found.name.c_str(), 0);
  }
}

// Empties an output that is a regular file, and lets it block from now on.
bool ready_output(const Found& found) {
  if (is_type(found.fd.get(), S_IFREG) && ftruncate(found.fd.get(), 0) != 0) {
    return (say("cannot empty ", found.path, ": ", last_error()), false);
  }
  return fcntl(found.fd.get(), F_SETFL, 0) == 0 ||
         (say("cannot open ", found.path, ": ", last_error()), false);
}

} // namespace

StartingDescriptors settle_descriptors() {
  StartingDescriptors start{false};
  for (int fd = 0; fd < STANDARD_DESCRIPTORS; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    if (open("/dev/null", O_RDWR) != fd) _exit(EXIT_PHASE1_FAILED);
    start.stdout_closed = start.stdout_closed || fd == STDOUT_FILENO;
  }
  if (syscall(SYS_close_range, STANDARD_DESCRIPTORS, ~0U, 0) != 0) {
    const long most = sysconf(_SC_OPEN_MAX);
    for (int fd = STANDARD_DESCRIPTORS; fd < most; ++fd) (void)close(fd);
  }
  return start;
}

std::optional<FoundFiles> find_files(const char* output, const FileNames& names,
                                     const std::optional<RunUser>& user) {
  FoundFiles found{};
  if (output != nullptr) {
    found.report = find_report(output, user);
    if (!found.report) return std::nullopt;
    const Found& report = *found.report;
    struct stat st {};
    const Found standard_output{"", Fd(dup(STDOUT_FILENO)), Fd(), "", false};
    if (!is_device(report) && same_file(report, standard_output)) {
      return say("--output ", output, " is standard output, where the commands write");
    }
    if (report.guarded && report.fd && stat_of(report.fd.get(), st) && S_ISREG(st.st_mode) &&
        st.st_nlink > 1) {
      return say("--output ", output,
                 " has other hard links, in a directory where the commands' user can write");
    }
  }
  if (names.in != nullptr) {
    found.in = find_run_file(names.in, O_RDONLY, false, user);
    if (!found.in) return std::nullopt;
    if (is_type(found.in->fd.get(), S_IFDIR)) return say("--stdin ", names.in, " is a directory");
  }
  const struct {
    const char* option;
    const char* name;
    std::optional<Found> FoundFiles::*file;
  } outputs[] = {{"--stdout ", names.out, &FoundFiles::out},
                 {"--stderr ", names.err, &FoundFiles::err}};
  for (const auto& output_file : outputs) {
    if (output_file.name == nullptr) continue;
    auto file = find_run_file(output_file.name, O_WRONLY, true, user);
    if (!file) return std::nullopt;
    if (found.report && !is_device(*file) && same_file(*file, *found.report)) {
      return say(output_file.name, " is the report's file");
    }
    if (found.in && !is_device(*file) && same_file(*file, *found.in)) {
      return say("--stdin ", names.in, " is also ", output_file.option, output_file.name,
                 ", which would empty it");
    }
    // The file of both, as 2>&1 would share it: one offset, so that neither overwrites the other.
    if (found.out && same_file(*file, *found.out)) {
      found.err_is_out = true;
      continue;
    }
    found.*output_file.file = std::move(file);
  }
  if (found.in && found.report && !is_device(*found.in) && same_file(*found.in, *found.report)) {
    return say("--stdin ", names.in, " is also the report's file");
  }
  return found;
}

std::optional<OpenFiles> open_found(FoundFiles found, const std::optional<RunUser>& user) {
  OpenFiles files{};
  files.err_is_out = found.err_is_out;
  // What is made here is removed again if a later step fails.
  std::optional<Found>* made[3] = {};
  std::size_t count = 0;
  const auto undo = [&] {
    for (std::size_t i = 0; i < count; ++i) unmake(**made[i]);
    return std::nullopt;
  };
  if (found.report && !found.report->fd) {
    if (!make(*found.report, REPORT_MODE)) return undo();
    made[count++] = &found.report;
  }
  for (auto* output : {&found.out, &found.err}) {
    if (!*output || (*output)->fd) continue;
    if (!as_user(user, [&] { return make(**output, RUN_FILE_MODE); }).value_or(false)) {
      return undo();
    }
    made[count++] = output;
  }
  for (auto* output : {&found.report, &found.out, &found.err}) {
    if (*output && !ready_output(**output)) return undo();
  }
  if (found.in) {
    // A FIFO is opened again, now waiting for its writer, as the shell's < would.
    if (is_type(found.in->fd.get(), S_IFIFO)) {
      const std::string again = "/proc/self/fd/" + std::to_string(found.in->fd.get());
      auto fd = as_user(user, [&] { return Fd(open(again.c_str(), O_RDONLY | O_CLOEXEC)); });
      if (!fd || !*fd) return (say("cannot open ", found.in->path, ": ", last_error()), undo());
      found.in->fd = std::move(*fd);
    }
    if (fcntl(found.in->fd.get(), F_SETFL, 0) != 0) {
      return (say("cannot open ", found.in->path, ": ", last_error()), undo());
    }
    files.null = Fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!files.null) return (say("cannot open /dev/null: ", last_error()), undo());
    files.in = std::move(found.in->fd);
  }
  const auto take = [](std::optional<Found>& f) { return f ? std::move(f->fd) : Fd(); };
  files.report = take(found.report);
  files.out = take(found.out);
  files.err = take(found.err);
  return files;
}

StdFiles baseline_files(const OpenFiles& files) {
  return {{files.null ? files.null.get() : -1, -1, -1}};
}

StdFiles measured_files(const OpenFiles& files) {
  const auto fd = [](const Fd& f) { return f ? f.get() : -1; };
  return {{fd(files.in), fd(files.out), files.err_is_out ? fd(files.out) : fd(files.err)}};
}

void put_in_place(const StdFiles& files) {
  for (int target = 0; target < static_cast<int>(files.fds.size()); ++target) {
    if (files.fds[target] >= 0) (void)dup2(files.fds[target], target);
  }
}
