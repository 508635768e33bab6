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
}
