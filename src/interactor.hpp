#pragma once

#include "containment.hpp"
#include "fd.hpp"
#include "files.hpp"
#include "handover.hpp"
#include "run.hpp"
#include "run_result.hpp"
#include "say.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <vector>

// What the command line asks of an interactive run.
struct InteractorRequest {
  const char* command;                           // none: no interactor
  std::optional<std::chrono::nanoseconds> grace; // none: the default
};

// How long the interactor may go on after the measured run has ended, when not asked.
inline constexpr std::chrono::seconds DEFAULT_GRACE{1};

// One way of the conversation, when phase1 relays it: from a writer's pipe to a reader's.
struct Way {
  Fd from;                  // phase1's read end of the writer's pipe
  Fd to;                    // phase1's write end of the reader's pipe, non-blocking
  char mark;                // '>' from the program to the interactor, '<' back
  std::vector<char> held{}; // read, and not yet written on
  std::size_t sent = 0;     // of `held`, written on
};

// The pipes that join the measured run and the interactor, made before anything runs.
struct Interaction {
  Fd null;       // the baseline's standard input
  Fd program_in; // the program's ends
  Fd program_out;
  Fd judge_in; // the interactor's ends
  Fd judge_out;
  std::array<Way, 2> ways;             // phase1's own ends, when it relays; none otherwise
  int transcript;                      // the file of the conversation, or -1: not relayed
  std::optional<int> transcript_error; // the errno that cut the transcript short
  bool begun;                          // both children have their ends
  bool interactor_first;               // the interactor ended first, or at the same look
};

// Makes the two pipes, as large as the system lets them be, and with a `transcript` the two more
// that phase1 relays through. Says why not.
std::optional<Interaction> make_interaction(const Fd& transcript);

// Which child a run's files are for.
enum class Party { baseline, program, interactor };

// `files` of a child beside an interaction, if there is one: the program's and the
// interactor's ends of the pipes on their standard input and output, /dev/null on the
// baseline's, and every end that is not the child's own closed.
StdFiles joined(const std::optional<Interaction>& joining, Party party, StdFiles files);

// Starts `command` as the interactor of `interaction`, if there is one, with its ends of the
// pipes, in a group of its own, as phase1's user and with no cap; its child hands its status
// over through `duty`.
std::optional<Beside> start_interactor(const char* command,
                                       const std::optional<Interaction>& interaction,
                                       const StatusDuty& duty);

// The measured run's waiter: beside an interaction, one that relays the conversation and notes
// when the interactor ends; else the plain one. At the wall limit it stops the interactor before
// the run is killed, and finish_interactor kills it: neither sees the other end, and takes
// that for an answer.
Waiter waiter_for(std::optional<Interaction>& interaction, std::optional<Beside>& interactor);

// How long the interactor may go on once the measured run has ended.
struct Grace {
  std::chrono::nanoseconds after;               // after the measured run's end
  std::optional<std::chrono::nanoseconds> wall; // the wall limit, which ends both at once
};

// Once the measured run has ended as `ending`: the interactor goes on, the conversation relayed,
// until it ends or its grace does, when phase1 ends it; then how it ended. None without one.
std::optional<InteractorResult> finish_interactor(std::optional<Interaction>& joining,
                                                  std::optional<Beside>& beside, Grace grace,
                                                  Ending ending, const StatusDuty& duty);
