#pragma once

#include "run_result.hpp"

#include <atomic>
#include <optional>
#include <variant>

// Who writes the status block. The measured child writes it itself, after its command, unless
// the parent must: when a limit can end the run (the child may not live to write it), when the
// report goes to a file or as JSON, or when the child's standard output is not the report's.
// Then the child hands its command's wait status over in a page they share. The baseline hands
// its status over when the report shows it (basestatus=), and the interactor's child always.

// A child's word in the shared page. The word is stored first, then the flag, so a child killed
// in between has handed nothing over.
struct SharedStatus {
  std::atomic<int> word;
  std::atomic<bool> handed;
};

// What a child does with the wait status that system returns.
struct DropStatus {};  // nothing: the baseline
struct WriteStatus {}; // writes the status block itself, to standard output
struct HandStatus {    // hands it over, and the parent writes the block
  SharedStatus* page;
};
using StatusDuty = std::variant<DropStatus, WriteStatus, HandStatus>;

struct StatusDuties {
  StatusDuty baseline;
  StatusDuty measured;
  StatusDuty interactor;
};

// What decides the duties.
struct StatusNeeds {
  bool parent_writes; // the parent writes the measured run's status block
  bool base_status;   // the report shows the baseline's status
  bool interactor;    // an interactor runs beside the measured run
};

// The duties of both children, with the page they share when one hands over; says why not on
// standard error.
std::optional<StatusDuties> assign_status_duties(StatusNeeds needs);

// In the child, once system has returned `status`: does its duty and ends, with 0 only once
// the status is handed over or written whole.
[[noreturn]] void finish_child(const StatusDuty& duty, int status);

// In the parent, once the child is collected: the status it handed over, if it did.
std::optional<int> handed_over(const StatusDuty& duty);

// The status block that the parent writes, if any: for a measured run that never started
// (-1, as system says of it), whose child handed its command's status over, or whose child a
// limit ended (its own SIGKILL).
std::optional<int> status_for_parent(const RunResult& meas, const StatusDuty& duty);

// Whether a report without the parent's block is whole: the measured child wrote its own.
bool child_wrote_status(const RunResult& meas);
