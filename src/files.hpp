#pragma once

#include "fd.hpp"
#include "user.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What phase1 does first of all with its descriptors: 0, 1 and 2 that its caller closed are
// opened on /dev/null, so that nothing phase1 opens lands there and passes for a standard
// stream, and every other descriptor it inherited is closed, so that no command gets it.
// Says whether standard output was closed.
struct StartingDescriptors {
  bool stdout_closed;
};
StartingDescriptors settle_descriptors();

// The files that --stdin, --stdout and --stderr name; none: the run keeps phase1's own. And the
// file that --transcript names, which phase1 writes as it does the report.
struct FileNames {
  const char* in;
  const char* out;
  const char* err;
  const char* transcript;
};

// A file named on the command line, as found before anything is changed.
struct Found {
  const char* path;
  Fd fd;            // the file, 3 or above and close-on-exec, when it exists already
  Fd dir;           // the directory it is in, or is to be made in
  std::string name; // its name there
  bool guarded;     // under a directory the run's user can write: no link followed
};

// Every file that phase1 opens for a run, found and checked, nothing changed yet.
struct FoundFiles {
  std::optional<Found> report; // --output
  std::optional<Found> in;
  std::optional<Found> out;
  std::optional<Found> err; // none also where it is the same file as `out`
  bool err_is_out;
  std::optional<Found> transcript;
};

// Finds the report's file, the transcript's and the measured run's files, and checks them: the
// run's files as `user` would open them, the report's and the transcript's with no link that
// `user` could have planted.
// Nothing is created or emptied. Says why not on standard error.
std::optional<FoundFiles> find_files(const char* output, const FileNames& names,
                                     const std::optional<RunUser>& user);

// The most descriptors that a child closes once its own are in place.
inline constexpr std::size_t MOST_CLOSED = 8;

// A run's standard input, output and error: descriptors to put on 0, 1 and 2, each 3 or above
// and close-on-exec, or -1 where the run keeps phase1's own. Then the descriptors, 3 or above,
// that the child closes, or -1: ends of pipes that would keep them open while it waits.
struct StdFiles {
  std::array<int, 3> fds;
  std::array<int, MOST_CLOSED> closed{-1, -1, -1, -1, -1, -1, -1, -1};
};

// The files, open: the report's and the runs'.
struct OpenFiles {
  Fd report; // none: standard output
  Fd null;   // the baseline's input, when the measured run has a file for its own
  Fd in;
  Fd out;
  Fd err;
  bool err_is_out;
  Fd transcript; // none without --transcript
};

// Once every check has passed: creates what is missing, empties the outputs and opens a FIFO
// for input as the shell's < would, waiting for its writer. Says why not on standard error,
// having removed what it made.
std::optional<OpenFiles> open_found(FoundFiles found, const std::optional<RunUser>& user);

StdFiles baseline_files(const OpenFiles& files);
StdFiles measured_files(const OpenFiles& files);

// The sizes in bytes of the measured run's --stdout and --stderr files; -1 for one not given or
// not a regular file.
struct OutputSizes {
  std::int64_t out;
  std::int64_t err;
};
OutputSizes output_sizes(const OpenFiles& files);

// In the child: puts `files` on its standard descriptors, and closes those it must.
void put_in_place(const StdFiles& files);
