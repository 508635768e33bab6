#include "files.hpp"

#include "say.hpp"

#include <array>
#include <deque>
#include <fcntl.h>
#include <linux/magic.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

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

// A walk along the names of a path.
struct Walk {
  std::deque<std::string> rest; // the names still to go
  Fd dir;                       // where the walk is
  bool guarded;                 // it has been through a directory that the user can write
  int links;                    // the links followed so far
};

// Puts the names of the link `name`'s target in the walk's way, from the root for an absolute
// one; says why not.
std::optional<Errno> follow(Walk& walk, const std::string& name, const struct stat& link,
                            const std::optional<RunUser>& user) {
  if (++walk.links > MOST_LINKS) return Errno{ELOOP};
  std::string target(static_cast<std::size_t>(link.st_size) + 1, '\0');
  const ssize_t n = readlinkat(walk.dir.get(), name.c_str(), target.data(), target.size());
  if (n < 0) return last_error();
  if (static_cast<std::size_t>(n) >= target.size()) return Errno{ENAMETOOLONG};
  target.resize(static_cast<std::size_t>(n));
  const auto names = names_of(target);
  walk.rest.insert(walk.rest.begin(), names.begin(), names.end());
  if (target.starts_with('/')) {
    walk.dir = open_root(target);
    if (!walk.dir) return last_error();
    walk.guarded = writable_by(user, walk.dir.get());
  }
  return std::nullopt;
}

// Finds the report's file `path` for writing, one name at a time. The links of directories that
// the run's user cannot write are followed (those of /proc by the kernel, as they lead to no
// path); from the first directory that it can write, none is, so that no link of its making
// leads phase1 anywhere.
std::optional<Found> find_report(const char* path, const std::optional<RunUser>& user) {
  const auto cannot = [&](auto why) { return say("cannot open ", path, ": ", why); };
  Walk walk{names_of(path), open_root(path), false, 0};
  if (!walk.dir) return cannot(last_error());
  walk.guarded = writable_by(user, walk.dir.get());
  for (;;) {
    const std::string name = std::move(walk.rest.front());
    walk.rest.pop_front();
    struct stat st {};
    const bool exists = fstatat(walk.dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    // The file that does not exist yet is made where it would be, once every check passed.
    if (!exists && errno == ENOENT && walk.rest.empty()) {
      return Found{path, Fd(), std::move(walk.dir), name, walk.guarded};
    }
    if (!exists) return cannot(last_error());
    const bool link = S_ISLNK(st.st_mode);
    if (link && walk.guarded) return cannot("a symbolic link where the commands' user can write");
    if (link && !on_procfs(walk.dir.get())) {
      if (const auto error = follow(walk, name, st, user)) return cannot(*error);
      continue;
    }
    // A link of /proc is the kernel's to follow; anything else is opened as it is.
    const int nofollow = link ? 0 : O_NOFOLLOW;
    const int flags = walk.rest.empty() ? O_WRONLY | O_NONBLOCK | O_NOCTTY : O_PATH | O_DIRECTORY;
    Fd next(openat(walk.dir.get(), name.c_str(), flags | nofollow | O_CLOEXEC));
    if (!next) return cannot(last_error());
    if (walk.rest.empty())
      return Found{path, std::move(next), std::move(walk.dir), name, walk.guarded};
    walk.dir = std::move(next);
    walk.guarded = walk.guarded || writable_by(user, walk.dir.get());
  }
}

// Whether the file that `option` names for phase1 to write may be used: not standard output,
// which the commands write, and not a file that the user may have linked to another.
bool report_is_usable(const Found& report, const char* option) {
  const Found standard_output{"", Fd(dup(STDOUT_FILENO)), Fd(), "", false};
  if (!is_device(report) && same_file(report, standard_output)) {
    return (say(option, report.path, " is standard output, where the commands write"), false);
  }
  struct stat st {};
  if (report.guarded && report.fd && stat_of(report.fd.get(), st) && S_ISREG(st.st_mode) &&
      st.st_nlink > 1) {
    return (say(option, report.path,
                " has other hard links, in a directory where the commands' user can write"),
            false);
  }
  return true;
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

namespace {

// Finds --stdin's file `path`: not a directory, and not the report's file.
std::optional<Found> find_input(const char* path, const std::optional<Found>& report,
                                const std::optional<RunUser>& user) {
  auto in = find_run_file(path, O_RDONLY, false, user);
  if (!in) return std::nullopt;
  if (is_type(in->fd.get(), S_IFDIR)) return say("--stdin ", path, " is a directory");
  if (report && !is_device(*in) && same_file(*in, *report)) {
    return say("--stdin ", path, " is also the report's file");
  }
  return in;
}

// Finds --transcript's file `path` as the report's is found: not the report's file itself.
std::optional<Found> find_transcript(const char* path, const std::optional<Found>& report,
                                     const std::optional<RunUser>& user) {
  auto transcript = find_report(path, user);
  if (!transcript || !report_is_usable(*transcript, "--transcript ")) return std::nullopt;
  if (report && !is_device(*transcript) && same_file(*transcript, *report)) {
    return say("--transcript ", path, " is the report's file");
  }
  return transcript;
}

// Whether the run's output `file`, which `option` names, is also a file that phase1 reads or
// writes otherwise; says which.
bool clashes(const Found& file, const char* option, const FoundFiles& found,
             const FileNames& names) {
  const auto is = [&](const std::optional<Found>& other) {
    return other && !is_device(file) && same_file(file, *other);
  };
  if (is(found.report)) return (say(file.path, " is the report's file"), true);
  if (is(found.in)) {
    return (say("--stdin ", names.in, " is also ", option, file.path, ", which would empty it"),
            true);
  }
  if (is(found.transcript)) {
    return (say("--transcript ", names.transcript, " is also ", option, file.path), true);
  }
  return false;
}

} // namespace

std::optional<FoundFiles> find_files(const char* output, const FileNames& names,
                                     const std::optional<RunUser>& user) {
  FoundFiles found{};
  if (output != nullptr) {
    found.report = find_report(output, user);
    if (!found.report || !report_is_usable(*found.report, "--output ")) return std::nullopt;
  }
  if (names.transcript != nullptr) {
    found.transcript = find_transcript(names.transcript, found.report, user);
    if (!found.transcript) return std::nullopt;
  }
  if (names.in != nullptr) {
    found.in = find_input(names.in, found.report, user);
    if (!found.in) return std::nullopt;
  }
  struct Output {
    const char* option;
    const char* name;
    std::optional<Found> FoundFiles::*file;
  };
  const std::array<Output, 2> outputs{
      {{"--stdout ", names.out, &FoundFiles::out}, {"--stderr ", names.err, &FoundFiles::err}}};
  for (const auto& [option, name, member] : outputs) {
    if (name == nullptr) continue;
    auto file = find_run_file(name, O_WRONLY, true, user);
    if (!file) return std::nullopt;
    if (clashes(*file, option, found, names)) return std::nullopt;
    // The file of both, as 2>&1 would share it: one offset, so that neither overwrites the other.
    found.err_is_out = found.out && same_file(*file, *found.out);
    if (!found.err_is_out) found.*member = std::move(file);
  }
  return found;
}

namespace {

// Opens `input` again if it is a FIFO, now waiting for its writer as the shell's < would, and
// lets it block from now on.
bool ready_input(Found& input, const std::optional<RunUser>& user) {
  if (is_type(input.fd.get(), S_IFIFO)) {
    const std::string again = "/proc/self/fd/" + std::to_string(input.fd.get());
    auto fd = as_user(user, [&] { return Fd(open(again.c_str(), O_RDONLY | O_CLOEXEC)); });
    if (!fd || !*fd) return (say("cannot open ", input.path, ": ", last_error()), false);
    input.fd = std::move(*fd);
  }
  return fcntl(input.fd.get(), F_SETFL, 0) == 0 ||
         (say("cannot open ", input.path, ": ", last_error()), false);
}

} // namespace

std::optional<OpenFiles> open_found(FoundFiles found, const std::optional<RunUser>& user) {
  // What is made here is removed again if a later step fails.
  std::vector<const Found*> made;
  const auto undo = [&] {
    for (const Found* file : made) unmake(*file);
    return std::nullopt;
  };
  struct Output {
    std::optional<Found>* file;
    mode_t mode;
    bool as_user;
  };
  for (const Output& output : std::array<Output, 4>{{{&found.report, REPORT_MODE, false},
                                                     {&found.transcript, REPORT_MODE, false},
                                                     {&found.out, RUN_FILE_MODE, true},
                                                     {&found.err, RUN_FILE_MODE, true}}}) {
    std::optional<Found>& file = *output.file;
    if (!file || file->fd) continue;
    const auto made_it =
        as_user(output.as_user ? user : std::nullopt, [&] { return make(*file, output.mode); });
    if (!made_it.value_or(false)) return undo();
    made.push_back(&*file);
  }
  for (const auto* output : {&found.report, &found.transcript, &found.out, &found.err}) {
    if (*output && !ready_output(**output)) return undo();
  }
  OpenFiles files{};
  if (found.in) {
    if (!ready_input(*found.in, user)) return undo();
    files.null = Fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!files.null) return (say("cannot open /dev/null: ", last_error()), undo());
    files.in = std::move(found.in->fd);
  }
  const auto take = [](std::optional<Found>& f) { return f ? std::move(f->fd) : Fd(); };
  files.report = take(found.report);
  files.out = take(found.out);
  files.err = take(found.err);
  files.err_is_out = found.err_is_out;
  files.transcript = take(found.transcript);
  return files;
}

StdFiles baseline_files(const OpenFiles& files) {
  return {{files.null ? files.null.get() : -1, -1, -1}};
}

StdFiles measured_files(const OpenFiles& files) {
  const auto fd = [](const Fd& f) { return f ? f.get() : -1; };
  return {{fd(files.in), fd(files.out), files.err_is_out ? fd(files.out) : fd(files.err)}};
}

OutputSizes output_sizes(const OpenFiles& files) {
  const auto size = [](const Fd& f) -> std::int64_t {
    struct stat st {};
    return f && fstat(f.get(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
  };
  const std::int64_t out = size(files.out);
  return {out, files.err_is_out ? out : size(files.err)};
}

void put_in_place(const StdFiles& files) {
  for (int target = 0; target < static_cast<int>(files.fds.size()); ++target) {
    if (files.fds[target] >= 0) (void)dup2(files.fds[target], target);
  }
  for (const int fd : files.closed) {
    if (fd >= 0) (void)close(fd);
  }
}
