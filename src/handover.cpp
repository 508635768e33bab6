#include "handover.hpp"

#include "report.hpp"
#include "say.hpp"

#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

std::optional<StatusDuties> assign_status_duties(StatusNeeds needs) {
  if (!needs.parent_writes && !needs.base_status && !needs.interactor) {
    return StatusDuties{DropStatus{}, WriteStatus{}, DropStatus{}};
  }
  // One page, in which each child that hands its status over has a word of its own.
  void* const page = mmap(nullptr, 3 * sizeof(SharedStatus), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return say("cannot share a page with the children: ", last_error());
  auto* const words = static_cast<SharedStatus*>(page);
  const auto hand = [](SharedStatus* word) { return HandStatus{new (word) SharedStatus{}}; };
  return StatusDuties{needs.base_status ? StatusDuty{hand(words)} : StatusDuty{DropStatus{}},
                      needs.parent_writes ? StatusDuty{hand(words + 1)} : StatusDuty{WriteStatus{}},
                      needs.interactor ? StatusDuty{hand(words + 2)} : StatusDuty{DropStatus{}}};
}

void finish_child(const StatusDuty& duty, int status) {
  struct {
    int status;
    [[noreturn]] void operator()(DropStatus /*drop*/) const { _exit(0); }
    [[noreturn]] void operator()(WriteStatus /*write*/) const {
      _exit(write_own_status_block(status) ? 0 : EXIT_FAILURE);
    }
    [[noreturn]] void operator()(HandStatus hand) const {
      hand.page->word.store(status);
      hand.page->handed.store(true);
      _exit(0);
    }
  } const finish{status};
  std::visit(finish, duty);
  _exit(EXIT_FAILURE);
}

std::optional<int> handed_over(const StatusDuty& duty) {
  const auto* const hand = std::get_if<HandStatus>(&duty);
  if (hand == nullptr || !hand->page->handed.load()) return std::nullopt;
  return hand->page->word.load();
}

std::optional<int> status_for_parent(const RunResult& meas, const StatusDuty& duty) {
  if (!meas.status) return -1;
  if (!std::holds_alternative<HandStatus>(duty)) return std::nullopt;
  if (meas.handed_over) return meas.handed_over;
  const bool oom_killed = meas.tree && meas.tree->oom_kills > 0 && WIFSIGNALED(*meas.status);
  if (meas.ending != Ending::itself || oom_killed) return meas.status;
  return std::nullopt;
}

bool child_wrote_status(const RunResult& meas) {
  return meas.status && *meas.status == 0;
}
