#include "protocol/timestamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

namespace glimra {
namespace {

using namespace std::chrono;

sys_time<milliseconds> at(int year, int month, int day, int hour, int minute, int second,
                          int millisecond) {
  return sys_days{std::chrono::year{year} / month / day} + hours{hour} + minutes{minute} +
         seconds{second} + milliseconds{millisecond};
}

TEST(TimestampTest, IsUTCWithThreeFractionalDigits) {
  EXPECT_EQ(formatTimestamp(at(2026, 12, 10, 11, 55, 24, 0)), "2026-12-10T11:55:24.000Z");
  EXPECT_EQ(formatTimestamp(at(2024, 2, 29, 23, 59, 59, 999)), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(formatTimestamp(at(1970, 1, 1, 0, 0, 0, 7)), "1970-01-01T00:00:00.007Z");
  EXPECT_EQ(formatTimestamp(at(1969, 12, 31, 23, 59, 59, 500)), "1969-12-31T23:59:59.500Z");
}

TEST(TimestampTest, DropsSubMillisecondDigits) {
  EXPECT_EQ(formatTimestamp(at(2026, 1, 1, 0, 0, 0, 123) + microseconds{999}),
            "2026-01-01T00:00:00.123Z");
}

TEST(TimestampTest, IgnoresTheTimeZoneSetting) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  for (const char* zone : {"Asia/Kolkata", "America/St_Johns", "UTC+14"}) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    EXPECT_EQ(formatTimestamp(at(2026, 6, 1, 12, 0, 0, 42)), "2026-06-01T12:00:00.042Z") << zone;
    EXPECT_TRUE(std::regex_match(currentTimestamp(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  }
  previous ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace glimra
