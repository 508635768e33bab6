#include "limits.hpp"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t MAX = INT64_MAX, MIN = INT64_MIN;
constexpr auto OK = std::errc{}, NAN_ = std::errc::invalid_argument,
               RANGE = std::errc::result_out_of_range;

TEST(ParseLimit, FollowsTheGrammarAndRefusesWhatHoldsNoNumber) {
  const struct {
    std::string_view text;
    std::errc error;
    std::int64_t value;
  } cases[] = {
      {"30", OK, 30},
      {"  +30", OK, 30},
      {"-1", OK, -1},
      {" \t\n\v\f\r7", OK, 7},
      {"-0", OK, 0},
      {"64m", OK, 64},
      {"1e6", OK, 1},
      {"2.5", OK, 2},
      {"0x10", OK, 0},
      {"010", OK, 10},
      {"5 6", OK, 5},
      {"9223372036854775807", OK, MAX},
      {"-9223372036854775808", OK, MIN},
      {"", NAN_, 0},
      {"  ", NAN_, 0},
      {"+", NAN_, 0},
      {"-", NAN_, 0},
      {"abc", NAN_, 0},
      {"+-5", NAN_, 0},
      {"-+5", NAN_, 0},
      {"--5", NAN_, 0},
      {"++5", NAN_, 0},
      {"+ 5", NAN_, 0},
      {"x5", NAN_, 0},
      {"\xef\xbc\x95", NAN_, 0},
      {std::string_view("\0"
                        "5",
                        2),
       NAN_, 0},
      {"9223372036854775808", RANGE, 0},
      {"-9223372036854775809", RANGE, 0},
      {"99999999999999999999", RANGE, 0},
      {"00000000000000000000000000042", OK, 42},
  };
  for (const auto& c : cases) {
    std::int64_t value = 0;
    EXPECT_EQ(parse_limit(c.text, value), c.error) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

} // namespace
