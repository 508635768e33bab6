#include "interactor.hpp"

#include "report.hpp"
#include "signals.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

// The most that phase1 reads from one side at a time.
constexpr std::size_t CHUNK_BYTES = 65536;

// A pipe's two ends.
struct Pipe {
  Fd read;
  Fd write;
};

// Makes a pipe, both ends close-on-exec, `largest` bytes large where the system lets it be.
std::optional<Pipe> make_pipe(int largest) {
  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) return std::nullopt;
  // Where that is not allowed, the pipe keeps the size it has.
  if (largest > 0) (void)fcntl(ends[1], F_SETPIPE_SZ, largest);
  return Pipe{Fd(ends[0]), Fd(ends[1])};
}

// The largest size of a pipe that the system allows, or 0 if it does not say.
int largest_pipe() {
  std::ifstream in("/proc/sys/fs/pipe-max-size");
  int bytes = 0;
  return in >> bytes ? bytes : 0;
}

bool non_blocking(const Fd& fd) {
  const int flags = fcntl(fd.get(), F_GETFL);
  return flags >= 0 && fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// Writes all of `text` to the transcript, unless it has failed already.
void record(Interaction& interaction, std::string_view text) {
  if (interaction.transcript_error) return;
  errno = 0;
  if (!write_all(interaction.transcript, text)) {
    interaction.transcript_error = errno != 0 ? errno : EIO;
  }
}

// The reader of `way` has gone: the writer's next write finds no reader either.
void cut(Way& way) {
  way.to.reset();
  way.from.reset();
  way.held.clear();
  way.sent = 0;
}

// Reads what the writer of `way` has written, records it and holds it for the reader.
void take_in(Interaction& interaction, Way& way) {
  std::array<char, CHUNK_BYTES> chunk{};
  const ssize_t n = read(way.from.get(), chunk.data(), chunk.size());
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    // The writer has ended: so does the reader's input, once what is held has gone on.
    way.from.reset();
    if (way.held.empty()) way.to.reset();
    return;
  }
  const std::string head = std::string(1, way.mark) + " " + std::to_string(n) + "\n";
  record(interaction, head);
  record(interaction, {chunk.data(), static_cast<std::size_t>(n)});
  record(interaction, "\n");
  if (way.to) way.held.assign(chunk.data(), chunk.data() + n);
  way.sent = 0;
}

// Writes on to the reader of `way` what it can take of what is held.
void pass_on(Way& way) {
  const ssize_t n = write(way.to.get(), way.held.data() + way.sent, way.held.size() - way.sent);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n < 0) {
    cut(way);
    return;
  }
  way.sent += static_cast<std::size_t>(n);
  if (way.sent < way.held.size()) return;
  way.held.clear();
  way.sent = 0;
  if (!way.from) way.to.reset();
}

// Once both children have their ends: phase1 lets its copies go, so that each pipe ends when
// its writer does.
void begin(Interaction& interaction) {
  for (Fd* end : {&interaction.program_in, &interaction.program_out, &interaction.judge_in,
                  &interaction.judge_out}) {
    end->reset();
  }
  // A reader that has gone makes a relayed write fail, not end phase1; the children have
  // their own handlers already.
  catch_write_signals();
  interaction.begun = true;
}

using MeasuredChild = std::optional<std::reference_wrapper<const Birth>>;

// Where in a look's descriptors the ways' come: after the two children's pidfds.
constexpr std::size_t FIRST_WAY = 2;

// The descriptors of the ways that a look waits on: the writer's while nothing is held, and the
// reader's, for room when something is held, and for its end, which shows as an error always.
void add_ways(const Interaction& interaction, std::vector<pollfd>& fds) {
  for (const Way& way : interaction.ways) {
    fds.push_back({way.held.empty() ? way.from.get() : -1, POLLIN, 0});
    fds.push_back({way.to.get(), static_cast<short>(way.held.empty() ? 0 : POLLOUT), 0});
  }
}

// Relays what a look found ready.
void relay(Interaction& interaction, const std::vector<pollfd>& fds) {
  for (std::size_t i = 0; i < interaction.ways.size(); ++i) {
    Way& way = interaction.ways.at(i);
    const short in = fds.at(FIRST_WAY + 2 * i).revents;
    const short out = fds.at(FIRST_WAY + 2 * i + 1).revents;
    if (way.from && in != 0) take_in(interaction, way);
    if (way.to && (out & (POLLERR | POLLHUP)) != 0) cut(way);
    if (way.to && (out & POLLOUT) != 0) pass_on(way);
  }
}

// One look: waits up to `timeout` for anything to do, relays what can be, and collects the
// interactor if it has ended. Says whether the measured child has ended.
bool look(Interaction& interaction, Beside& interactor, MeasuredChild child,
          std::optional<std::chrono::nanoseconds> timeout) {
  const bool waits_for_interactor = interactor.birth.pid > 0 && !interactor.own_status;
  std::vector<pollfd> fds{{child ? child->get().pidfd.get() : -1, POLLIN, 0},
                          {waits_for_interactor ? interactor.birth.pidfd.get() : -1, POLLIN, 0}};
  add_ways(interaction, fds);
  // A child with no pidfd is looked at again and again.
  const bool blind =
      (child && !child->get().pidfd) || (waits_for_interactor && !interactor.birth.pidfd);
  if (blind) {
    timeout = std::min(timeout.value_or(CHILD_LOOK_GAP), std::chrono::nanoseconds(CHILD_LOOK_GAP));
  }
  if (poll_for(fds, timeout) < 0) return false;
  relay(interaction, fds);
  if (waits_for_interactor && collect_beside(interactor)) {
    // Found ended at the same look as the measured child, it counts as first.
    interaction.interactor_first = interaction.interactor_first || child.has_value();
  }
  return child && child_ended(child->get(), std::chrono::nanoseconds::zero());
}

} // namespace

std::optional<Interaction> make_interaction(const Fd& transcript) {
  Interaction made{};
  made.transcript = transcript ? transcript.get() : -1;
  made.ways[0].mark = '>';
  made.ways[1].mark = '<';
  const int largest = largest_pipe();
  const bool relayed = made.transcript >= 0;
  // The program's output and the interactor's, each with a second pipe on when relayed.
  auto out = make_pipe(largest);
  auto back = make_pipe(largest);
  auto out_on = relayed ? make_pipe(largest) : Pipe{};
  auto back_on = relayed ? make_pipe(largest) : Pipe{};
  if (!out || !back || !out_on || !back_on) {
    return say("cannot make the pipes to the interactor: ", last_error());
  }
  made.program_out = std::move(out->write);
  made.judge_out = std::move(back->write);
  if (relayed) {
    made.ways[0].from = std::move(out->read);
    made.ways[0].to = std::move(out_on->write);
    made.judge_in = std::move(out_on->read);
    made.ways[1].from = std::move(back->read);
    made.ways[1].to = std::move(back_on->write);
    made.program_in = std::move(back_on->read);
  } else {
    made.judge_in = std::move(out->read);
    made.program_in = std::move(back->read);
  }
  for (const Way& way : made.ways) {
    if (relayed && (!non_blocking(way.from) || !non_blocking(way.to))) {
      return say("cannot make the pipes to the interactor: ", last_error());
    }
  }
  made.null = Fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!made.null) return say("cannot open /dev/null: ", last_error());
  return made;
}

StdFiles joined(const std::optional<Interaction>& joining, Party party, StdFiles files) {
  if (!joining) return files;
  const Interaction& interaction = *joining;
  if (party == Party::baseline) files.fds[0] = interaction.null.get();
  if (party == Party::program) {
    files.fds[0] = interaction.program_in.get();
    files.fds[1] = interaction.program_out.get();
  }
  if (party == Party::interactor) {
    files.fds = {interaction.judge_in.get(), interaction.judge_out.get(), -1};
  }
  files.closed = {interaction.program_in.get(),   interaction.program_out.get(),
                  interaction.judge_in.get(),     interaction.judge_out.get(),
                  interaction.ways[0].from.get(), interaction.ways[0].to.get(),
                  interaction.ways[1].from.get(), interaction.ways[1].to.get()};
  return files;
}

std::optional<Beside> start_interactor(const char* command,
                                       const std::optional<Interaction>& interaction,
                                       const StatusDuty& duty) {
  if (!interaction) return std::nullopt;
  const Child child{{}, command, duty, joined(interaction, Party::interactor, {}), std::nullopt};
  return start_beside(child, {Grouping::group, -1, std::nullopt, std::nullopt});
}

Waiter waiter_for(std::optional<Interaction>& interaction, std::optional<Beside>& interactor) {
  if (!interaction || !interactor) return {};
  return {[&talk = *interaction, &side = *interactor](
              const Birth& child, std::optional<std::chrono::nanoseconds> timeout) {
            if (!talk.begun) begin(talk);
            return look(talk, side, std::cref(child), timeout);
          },
          [&side = *interactor] { stop_beside(side); }};
}

std::optional<InteractorResult> finish_interactor(std::optional<Interaction>& joining,
                                                  std::optional<Beside>& beside, Grace grace,
                                                  Ending ending, const StatusDuty& duty) {
  using Clock = std::chrono::steady_clock;
  if (!joining || !beside) return std::nullopt;
  Interaction& interaction = *joining;
  Beside& interactor = *beside;
  if (!interaction.begun) begin(interaction);
  // Both started at the same moment: the wall limit ends the interactor where it ended the run.
  auto deadline = ending == Ending::wall_limit ? Clock::now() : Clock::now() + grace.after;
  if (grace.wall) deadline = std::min(deadline, interactor.start + *grace.wall);
  while (!collect_beside(interactor)) {
    const auto now = Clock::now();
    if (now >= deadline) {
      end_beside(interactor);
      break;
    }
    (void)look(interaction, interactor, std::nullopt, deadline - now);
  }
  for (Way& way : interaction.ways) cut(way);
  const auto lost = interaction.transcript_error;
  if (interactor.birth.pid < 0) return InteractorResult{-1, {}, true, lost};
  const int own = interactor.own_status.value_or(-1);
  return InteractorResult{handed_over(duty).value_or(own), interactor.wall,
                          interaction.interactor_first, lost};
}
