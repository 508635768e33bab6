#pragma once

#include <optional>
#include <sys/types.h>
#include <utility>
#include <vector>

// The user that --user names, as the commands are to run.
struct RunUser {
  uid_t uid;
  gid_t gid;                 // primary
  std::vector<gid_t> groups; // supplementary, the primary among them
};

// Looks `name`, a user name or a numeric uid, up in /etc/passwd and /etc/group, and checks that
// phase1 may become that user. Says why not on standard error.
std::optional<RunUser> look_up_user(const char* name);

// In the child, after its caps: becomes `user`, with no capability left to it, or ends the
// child at once.
void become(const RunUser& user);

// phase1's own file-system identity, to go back to.
struct SavedIdentity {
  uid_t fsuid;
  gid_t fsgid;
  std::vector<gid_t> groups;
};

// Takes on the file-system identity of `user` (its uid, gid and groups), so that what phase1
// opens, it opens as `user` would; says why not on standard error.
std::optional<SavedIdentity> take_identity(const RunUser& user);

// Goes back to `saved`; a failure ends phase1, which must not go on as another user.
void restore_identity(const SavedIdentity& saved);

// Calls `act` as `user`, or as phase1 itself when there is none, and returns what it returns;
// none when the identity cannot be taken.
template <typename Act>
auto as_user(const std::optional<RunUser>& user, Act act) -> decltype(std::optional(act())) {
  if (!user) return act();
  const auto saved = take_identity(*user);
  if (!saved) return std::nullopt;
  auto result = act();
  restore_identity(*saved);
  return result;
}
