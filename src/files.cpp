#include "files.hpp"

#include "fd.hpp"
#include "say.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int FIRST_FREE = 3; // above standard input, output and error
constexpr mode_t FILE_MODE = 0666;

bool same_file(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool is_regular(int fd) {
  struct stat file {};
  return fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
}

std::optional<int> open_output(const char* path, int report_fd) {
  return open_emptied(path, report_fd, {"", " is the report's file"});
}

} // namespace

std::optional<int> open_emptied(const char* path, int other, const Refusal& refusal) {
  const auto fd = open_unblocked(path, O_WRONLY | O_CREAT);
  if (!fd) return std::nullopt;
  if (is_regular(*fd) && same_file(*fd, other)) {
    return say(refusal.before, path, refusal.after);
  }
  if (is_regular(*fd) && ftruncate(*fd, 0) != 0) {
    return say("cannot empty ", path, ": ", last_error());
  }
  return fd;
}

std::optional<int> open_unblocked(const char* path, int flags) {
  const Fd opened(open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, FILE_MODE));
  if (!opened) return say("cannot open ", path, ": ", last_error());
  const int fd = fcntl(opened.get(), F_DUPFD_CLOEXEC, FIRST_FREE);
  if (fd < 0 || fcntl(fd, F_SETFL, 0) != 0) return say("cannot open ", path, ": ", last_error());
  return fd;
}

std::optional<RunFiles> open_files(const FileNames& names, int report_fd) {
  RunFiles files{{{-1, -1, -1}}, {{-1, -1, -1}}};
  auto& [in, out, err] = files.measured.fds;
  if (names.in != nullptr) {
    const auto fd = open_unblocked(names.in, O_RDONLY);
    const auto null = fd ? open_unblocked("/dev/null", O_RDONLY) : std::nullopt;
    if (!null) return std::nullopt;
    in = *fd;
    files.baseline.fds[0] = *null;
  }
  if (names.out != nullptr) {
    const auto fd = open_output(names.out, report_fd);
    if (!fd) return std::nullopt;
    out = *fd;
  }
  if (names.err != nullptr) {
    // The file of both, as 2>&1 would share it: one offset, so that neither overwrites the other.
    struct stat named {};
    struct stat shared {};
    const bool same = out >= 0 && stat(names.err, &named) == 0 && fstat(out, &shared) == 0 &&
                      named.st_dev == shared.st_dev && named.st_ino == shared.st_ino;
    const auto fd = same ? std::optional(out) : open_output(names.err, report_fd);
    if (!fd) return std::nullopt;
    err = *fd;
  }
  return files;
}

void put_in_place(const StdFiles& files) {
  for (int target = 0; target < static_cast<int>(files.fds.size()); ++target) {
    if (files.fds[target] >= 0) (void)dup2(files.fds[target], target);
  }
}
