#pragma once

#include <optional>
#include <sys/types.h>
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

// In the child, after its caps: becomes `user`, or ends the child at once.
void become(const RunUser& user);
