// The text of cgroup files, read without a cgroup.
#include "cgroup.hpp"

#include <gtest/gtest.h>

namespace {

using namespace cgroup_text;

TEST(CgroupText, ReadsFieldsAndWords) {
  const std::string_view stat = "usage_usec 1500\nuser_usec 1000\nsystem_usec 500\n";
  const std::string_view events = "populated 0\nfrozen 0";
  const struct {
    std::string_view text;
    std::string_view key;
    std::optional<std::int64_t> value;
  } fields[] = {
      {stat, "usage_usec", 1500},
      {stat, "system_usec", 500},
      {stat, "usage", std::nullopt},
      {events, "frozen", 0},
      {events, "populated", 0},
      {"", "populated", std::nullopt},
      {"oom_kill x\n", "oom_kill", std::nullopt},
  };
  for (const auto& [text, key, value] : fields) EXPECT_EQ(field(text, key), value) << key;
  const struct {
    std::string_view text;
    std::string_view word;
    bool found;
  } words[] = {
      {"cpu memory pids\n", "memory", true},
      {"cpu memory pids\n", "pids", true},
      {"cpu memory_x\n", "memory", false},
      {"hugetlb\n", "tlb", false},
      {"", "memory", false},
  };
  for (const auto& [text, word, found] : words) EXPECT_EQ(has_word(text, word), found) << text;
}

TEST(CgroupText, CountsTheCpusOfAList) {
  const std::pair<std::string_view, std::optional<int>> lists[] = {
      {"0\n", 1},          {"0-3\n", 4},         {"0-1,4,6-7", 5},      {"3", 1},
      {"", std::nullopt},  {"\n", std::nullopt}, {"2-1", std::nullopt}, {"0-", std::nullopt},
      {"a", std::nullopt},
  };
  for (const auto& [list, count] : lists) EXPECT_EQ(cpu_count(list), count) << list;
}

} // namespace
