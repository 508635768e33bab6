#pragma once

#include <array>
#include <optional>
#include <string_view>

// The files that --stdin, --stdout and --stderr name; none: the run keeps phase1's own.
struct FileNames {
  const char* in;
  const char* out;
  const char* err;
};

// A run's standard input, output and error: descriptors to put on 0, 1 and 2, each 3 or above
// and close-on-exec, or -1 where the run keeps phase1's own.
struct StdFiles {
  std::array<int, 3> fds;
};

struct RunFiles {
  StdFiles baseline; // /dev/null for input whenever the measured run has a file of its own
  StdFiles measured;
};

// Opens `path` with `flags` without waiting for the other end of a FIFO, as a descriptor 3 or
// above that no command inherits. Says why not on standard error, naming the file.
std::optional<int> open_unblocked(const char* path, int flags);

// What is said of a file that is another one it may not be: before and after its name.
struct Refusal {
  std::string_view before;
  std::string_view after;
};

// Opens `path` for writing as open_unblocked does, created if missing, and empties it, but
// refuses a regular file that is `other`, saying `refusal`.
std::optional<int> open_emptied(const char* path, int other, const Refusal& refusal);

// Opens the files that `names` gives, before anything runs: input read-only, output and
// error created or truncated, one file shared where both name it. A file that is the report's,
// `report_fd`, is refused. Says why not on standard error.
std::optional<RunFiles> open_files(const FileNames& names, int report_fd);

// In the child: puts `files` on its standard descriptors.
void put_in_place(const StdFiles& files);
