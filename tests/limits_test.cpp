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

} // namespace
