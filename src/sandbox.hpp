#pragma once

#include "fd.hpp"

#include <linux/filter.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// What the command line asks of the runs' sandbox.
struct SandboxRequest {
  const char* dir; // the run's one writable directory, seen as /box; none: no sandbox
  std::vector<const char*> binds; // more paths of the host, seen read-only at their own paths
  bool share_network;             // the runs keep the host's network
};

// One step of making a run's new root, worked out in the parent: the child only carries it out.
struct MountStep {
  enum class Kind { directory, file, link, bind, bind_writable, device, tmpfs, proc } kind;
  std::string target; // under the new root, while it is built
  std::string source; // a link's text, a tmpfs's options
  std::size_t from;   // a bind's source, in Sandbox::sources
};

// A run's sandbox, ready before anything runs.
struct Sandbox {
  std::vector<std::string> sources; // the bound paths of the host
  // The child's descriptors of them, opened in its own mount namespace before the new root
  // covers any: a bind's source must be a mount of that namespace. The child's copy alone is
  // written, and nothing is allocated.
  mutable std::vector<int> opened;
  std::vector<MountStep> steps; // the new root, in order
  std::string root;             // where the new root is built
  std::string old_root;         // where the old root goes while it is detached
  bool share_network;
  bool rootless;       // phase1 is not root: the run has a user namespace of its own
  std::string uid_map; // "uid uid 1", for a rootless run
  std::string gid_map;
  std::vector<sock_filter> filter; // the seccomp program
};

// Checks the request and works out the sandbox: DIR and every --bind exist, the user is known
// or phase1 is not root, and user namespaces are allowed where they are needed. Says why not.
std::optional<Sandbox> prepare_sandbox(const SandboxRequest& request, bool has_user);

// The clone3 flags of a sandboxed run's namespaces.
unsigned long long namespace_flags(const Sandbox& sandbox);

// In the child, first of all, as PID 1 of its namespaces: maps its user, builds and enters the
// new root. A failure ends the child with SANDBOX_FAILED.
void enter_sandbox(const Sandbox& sandbox);

// In the child, last before system: no new privileges, no capability, and the filter.
void seal_sandbox(const Sandbox& sandbox);

// The exit status of a child whose sandbox could not be made: phase1's failure, not the run's.
inline constexpr int SANDBOX_FAILED = 254;
