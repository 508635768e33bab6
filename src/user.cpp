#include "user.hpp"

#include "say.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <iostream>
#include <linux/capability.h>
#include <pwd.h>
#include <string_view>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The C library's readers of these two files involve no NSS, which the static build cannot
// load safely.
constexpr const char* PASSWD = "/etc/passwd";
constexpr const char* GROUP = "/etc/group";
constexpr std::size_t ENTRY_BYTES = 16384;

// A file of entries, read one at a time with `next` (fgetpwent_r or fgetgrent_r) until `found`
// says so. Returns whether it was found, or none when the file cannot be read.
template <typename Entry, typename Next, typename Found>
std::optional<bool> scan(const char* path, Next next, Found found) {
  FILE* const file = std::fopen(path, "re");
  if (file == nullptr) return std::nullopt;
  std::vector<char> buffer(ENTRY_BYTES);
  Entry entry{};
  Entry* result = nullptr;
  bool hit = false;
  int error = 0;
  while (!hit && (error = next(file, &entry, buffer.data(), buffer.size(), &result)) == 0) {
    hit = found(entry);
  }
  (void)std::fclose(file);
  if (hit || error == ENOENT) return hit;
  errno = error;
  return std::nullopt;
}

bool can_change_user() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
  if (syscall(SYS_capget, &header, data.data()) != 0) return false;
  constexpr unsigned BITS = 32;
  const auto has = [&](unsigned cap) { return (data[cap / BITS].effective >> (cap % BITS)) & 1U; };
  return has(CAP_SETUID) != 0 && has(CAP_SETGID) != 0;
}

} // namespace

std::optional<RunUser> look_up_user(const char* name) {
  const std::string_view text = name;
  uid_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  const bool numeric = error == std::errc{} && end == text.data() + text.size();
  if (!can_change_user()) {
    return say("--user needs root, or CAP_SETUID and CAP_SETGID");
  }
  std::string user_name;
  RunUser user{number, number, {}};
  const auto users = scan<passwd>(PASSWD, fgetpwent_r, [&](const passwd& entry) {
    if (numeric ? entry.pw_uid != number : text != entry.pw_name) return false;
    user = {entry.pw_uid, entry.pw_gid, {}};
    user_name = entry.pw_name;
    return true;
  });
  if (!users) return say("cannot read ", PASSWD, ": ", last_error());
  // A uid that has no entry runs as itself, with the same number as its group and no others.
  if (!*users) {
    if (!numeric) return say("unknown user ", name, " (not in ", PASSWD, ")");
    return user;
  }
  user.groups.push_back(user.gid);
  const auto groups = scan<group>(GROUP, fgetgrent_r, [&](const group& entry) {
    for (char** member = entry.gr_mem; *member != nullptr; ++member) {
      if (user_name == *member && entry.gr_gid != user.gid) user.groups.push_back(entry.gr_gid);
    }
    return false;
  });
  if (!groups) return say("cannot read ", GROUP, ": ", last_error());
  return user;
}

void become(const RunUser& user) {
  if (setgroups(user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 ||
      setuid(user.uid) != 0) {
    _exit(EXIT_FAILURE);
  }
  // A change of uid between two that are not root keeps every capability, and the ambient set
  // would be handed on to the shell: the commands would get back what --user took away.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> none{};
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 ||
      syscall(SYS_capset, &header, none.data()) != 0) {
    _exit(EXIT_FAILURE);
  }
}

std::optional<SavedIdentity> take_identity(const RunUser& user) {
  SavedIdentity saved{static_cast<uid_t>(setfsuid(-1)), static_cast<gid_t>(setfsgid(-1)), {}};
  const int count = getgroups(0, nullptr);
  saved.groups.resize(static_cast<std::size_t>(std::max(count, 0)));
  if (count < 0 || getgroups(count, saved.groups.data()) != count) {
    return say("cannot read phase1's groups: ", last_error());
  }
  if (setgroups(user.groups.size(), user.groups.data()) != 0) {
    return say("cannot take the groups of the user ", user.uid, ": ", last_error());
  }
  // setfsuid and setfsgid say nothing of a failure: asking again with an invalid id tells.
  (void)setfsgid(user.gid);
  (void)setfsuid(user.uid);
  if (static_cast<uid_t>(setfsuid(-1)) != user.uid ||
      static_cast<gid_t>(setfsgid(-1)) != user.gid) {
    restore_identity(saved);
    return say("cannot take the file-system identity of the user ", user.uid);
  }
  return saved;
}

void restore_identity(const SavedIdentity& saved) {
  (void)setfsuid(saved.fsuid);
  (void)setfsgid(saved.fsgid);
  if (setgroups(saved.groups.size(), saved.groups.data()) != 0 ||
      static_cast<uid_t>(setfsuid(-1)) != saved.fsuid) {
    say("cannot take phase1's own identity back: ", last_error());
    _exit(EXIT_PHASE1_FAILED);
  }
}
