#include "report.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace {

TEST(DecodeStatus, AgreesWithThePlatformMacros) {
  std::vector<int> words;
  for (int s = -70000; s <= 70000; ++s) words.push_back(s);
  for (int bit = 16; bit < 32; ++bit) words.push_back(static_cast<int>(0x7FU | (1U << bit)));
  words.insert(words.end(), {INT32_MIN, INT32_MAX, INT32_MIN | 0x17f, INT32_MAX - 0x80});
  for (const int s : words) {
    const auto lines = decode_status(s);
    const long long macros[] = {
        s,           WIFSIGNALED(s), WTERMSIG(s), WEXITSTATUS(s), WIFEXITED(s), WCOREDUMP(s),
        WSTOPSIG(s), WIFSTOPPED(s)};
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ASSERT_EQ(lines[i].second, macros[i]) << lines[i].first << " for " << s;
    }
  }
}

TEST(DecodeStatus, DecodesTheKnownCases) {
  const std::pair<int, std::array<long long, 8>> cases[] = {
      {768, {768, 0, 0, 3, 1, 0, 3, 0}},       {9, {9, 1, 9, 0, 0, 0, 0, 0}},
      {139, {139, 1, 11, 0, 0, 128, 0, 0}},    {32512, {32512, 0, 0, 127, 1, 0, 127, 0}},
      {-1, {-1, 0, 127, 255, 0, 128, 255, 0}}, {0x137f, {0x137f, 0, 127, 19, 0, 0, 19, 1}},
  };
  for (const auto& [s, values] : cases) {
    const auto lines = decode_status(s);
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(lines[i].second, values[i]) << s;
  }
}

TEST(WriteUsageBlock, PrintsCpuSecondsAndCountsExactly) {
  const struct {
    long user_s, user_us, sys_s, sys_us;
    const char* text;
  } cases[] = {
      {0, 0, 0, 0, "0"},
      {0, 4000, 0, 0, "0.004"},
      {1, 500000, 0, 0, "1.5"},
      {0, 700000, 0, 600000, "1.3"},
      {1, 2000, 0, 3745, "1.00574"},
      {1, 0, 1, 0, "2"},
      {12, 345679, 0, 0, "12.3457"},
      {0, 20, 0, 0, "2e-05"},
      {1234567, 0, 0, 0, "1.23457e+06"},
      {999999, 0, 0, 500000, "1e+06"},
      {0, 999999, 0, 999999, "2"},
  };
  for (const auto& c : cases) {
    rusage base{};
    rusage meas{};
    meas.ru_utime = {c.user_s, c.user_us};
    meas.ru_stime = {c.sys_s, c.sys_us};
    meas.ru_minflt = 123456789012;
    meas.ru_majflt = 7;
    base.ru_minflt = -2;
    std::ostringstream out;
    write_usage_block(out, base, meas);
    std::ostringstream expected;
    expected << "basetime=0\ntime=" << c.text
             << "\nbasemem=-2\nmem=123456789012\npagesize=" << getpagesize()
             << "\nru_majflt=7\npid=" << getpid() << "\nppid=" << getppid() << '\n';
    EXPECT_EQ(out.str(), expected.str());
  }
}

// The lines are formatted without the stream, so the stream's own default format is the oracle.
TEST(WriteUsageBlock, FormatsTimesAsTheStreamsDefaultFormatDoes) {
  std::vector<std::int64_t> micros{0};
  for (std::int64_t m = 1; m < 10'000'000'000'000'000; m += m / 333 + 1) micros.push_back(m);
  // Around each power of ten, where rounding to six digits can change the exponent.
  for (std::int64_t p = 10; p <= 1'000'000'000'000'000; p *= 10) {
    for (const std::int64_t d : {-1, 0, 1, 4, 5, 6}) micros.push_back(p - d);
  }
  for (const std::int64_t us : micros) {
    rusage r{};
    r.ru_utime = {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    std::ostringstream out;
    write_usage_block(out, r, r);
    std::ostringstream expected;
    expected << "basetime=" << cpu_seconds_of(r) << '\n';
    ASSERT_EQ(out.str().substr(0, expected.str().size()), expected.str()) << us << " us";
  }
}

} // namespace
