#include "limits.hpp"

#include <gtest/gtest.h>
#include <span>

namespace {

using namespace std::literals;

TEST(ParseLimit, ReadsLeadingDecimalIntegers) {
  const std::pair<std::string_view, std::int64_t> cases[] = {
      {"30", 30},
      {"  +30", 30},
      {" \t\n\v\f\r7", 7},
      {"-1", -1},
      {"-0", 0},
      {"64m", 64},
      {"1e6", 1},
      {"2.5", 2},
      {"5 6", 5},
      {"0x10", 0},
      {"010", 10},
      {"00000000000000000000000000042", 42},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
  };
  for (const auto& [text, expected] : cases) {
    std::int64_t value = 0;
    EXPECT_EQ(parse_limit(text, value), std::errc{}) << '"' << text << '"';
    EXPECT_EQ(value, expected) << '"' << text << '"';
  }
}

TEST(ParseLimit, RefusesWhatHoldsNoNumberOrTooLargeANumber) {
  const std::string_view no_number[] = {"",    "  ",  "+",   "-",  "abc",          "+-5",    "-+5",
                                        "--5", "++5", "+ 5", "x5", "\xef\xbc\x95", "\0005"sv};
  const std::string_view too_large[] = {"9223372036854775808", "-9223372036854775809",
                                        "99999999999999999999"};
  using Texts = std::span<const std::string_view>;
  for (const auto& [texts, error] : {std::pair{Texts(no_number), std::errc::invalid_argument},
                                     std::pair{Texts(too_large), std::errc::result_out_of_range}}) {
    for (const auto text : texts) {
      std::int64_t value = 12345;
      EXPECT_EQ(parse_limit(text, value), error) << '"' << text << '"';
      EXPECT_EQ(value, 12345) << "changed by \"" << text << '"';
    }
  }
}

TEST(ParseSeconds, RefusesAllButPositiveDecimalSeconds) {
  using std::chrono::nanoseconds;
  const std::pair<std::string_view, std::errc> refused[] = {
      {"", std::errc::invalid_argument},
      {".", std::errc::invalid_argument},
      {"0", std::errc::invalid_argument},
      {"0.000", std::errc::invalid_argument},
      {"-1", std::errc::invalid_argument},
      {"+1", std::errc::invalid_argument},
      {" 1", std::errc::invalid_argument},
      {"1s", std::errc::invalid_argument},
      {"1e3", std::errc::invalid_argument},
      {"1.2.3", std::errc::invalid_argument},
      {"9223372036.854775808", std::errc::result_out_of_range},
      {"99999999999999999999", std::errc::result_out_of_range},
  };
  for (const auto& [text, error] : refused) {
    nanoseconds value{7};
    EXPECT_EQ(parse_seconds(text, value), error) << '"' << text << '"';
    EXPECT_EQ(value, nanoseconds{7}) << "changed by \"" << text << '"';
  }
}

TEST(ParseSeconds, ReadsPositiveDecimalSeconds) {
  using std::chrono::nanoseconds;
  const std::pair<std::string_view, std::int64_t> accepted[] = {
      {"2", 2'000'000'000},
      {"0.5", 500'000'000},
      {"1.25", 1'250'000'000},
      {".5", 500'000'000},
      {"5.", 5'000'000'000},
      {"007", 7'000'000'000},
      {"0.000000001", 1},
      {"0.0000000001", 1},
      {"1.0000000010", 1'000'000'001},
      {"0.0000000019", 2},
      {"3153600000", LONGEST_SECONDS.count()},
      {"9223372036.854775807", LONGEST_SECONDS.count()},
  };
  for (const auto& [text, nanos] : accepted) {
    nanoseconds value{};
    EXPECT_EQ(parse_seconds(text, value), std::errc{}) << '"' << text << '"';
    EXPECT_EQ(value.count(), nanos) << '"' << text << '"';
  }
}

TEST(ParseBytes, ReadsPositiveBytesWithBinarySuffixes) {
  const std::pair<std::string_view, std::int64_t> accepted[] = {
      {"1", 1},
      {"-1", -1},
      {"256M", 268435456},
      {"256m", 268435456},
      {"1k", 1024},
      {"3G", 3LL << 30},
      {"2t", 2LL << 40},
      {"8388607T", 8388607LL << 40},
      {"9223372036854775807", INT64_MAX},
  };
  for (const auto& [text, bytes] : accepted) {
    std::int64_t value = 0;
    EXPECT_EQ(parse_bytes(text, value), std::errc{}) << '"' << text << '"';
    EXPECT_EQ(value, bytes) << '"' << text << '"';
  }
}

TEST(ParseBytes, RefusesAllElse) {
  const std::pair<std::string_view, std::errc> refused[] = {
      {"", std::errc::invalid_argument},
      {"abc", std::errc::invalid_argument},
      {"0", std::errc::invalid_argument},
      {"0K", std::errc::invalid_argument},
      {"-5", std::errc::invalid_argument},
      {"12Q", std::errc::invalid_argument},
      {"1.5G", std::errc::invalid_argument},
      {"M", std::errc::invalid_argument},
      {"1MB", std::errc::invalid_argument},
      {" 1", std::errc::invalid_argument},
      {"+1", std::errc::invalid_argument},
      {"8388608T", std::errc::result_out_of_range},
      {"9223372036854775808", std::errc::result_out_of_range},
  };
  for (const auto& [text, error] : refused) {
    std::int64_t value = 7;
    EXPECT_EQ(parse_bytes(text, value), error) << '"' << text << '"';
    EXPECT_EQ(value, 7) << "changed by \"" << text << '"';
  }
}

// Only a CPU limit is held where the kernel's nanoseconds would overflow; -1 stays unlimited.
TEST(LimitOf, HoldsCpuLimitsTheKernelCanKeep) {
  const std::tuple<Resource, std::int64_t, rlim_t> cases[] = {
      {RLIMIT_CPU, 18446744073, 18446744073},   {RLIMIT_CPU, 18446744074, MAX_CPU_SECONDS},
      {RLIMIT_CPU, INT64_MAX, MAX_CPU_SECONDS}, {RLIMIT_CPU, INT64_MIN, MAX_CPU_SECONDS},
      {RLIMIT_CPU, -2, MAX_CPU_SECONDS},        {RLIMIT_CPU, -1, RLIM_INFINITY},
      {RLIMIT_AS, -2, RLIM_INFINITY - 1},       {RLIMIT_FSIZE, INT64_MIN, 1ULL << 63},
      {RLIMIT_NPROC, 18446744074, 18446744074},
  };
  for (const auto& [resource, value, limit] : cases) {
    EXPECT_EQ(limit_of(resource, value), limit) << resource << " " << value;
  }
}

} // namespace
