#include "protocol/timestamp.h"

#include <cstdio>
#include <ctime>

namespace glimra {

std::string formatTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  // Floor, not truncate, so instants before 1970 keep a positive fraction.
  const auto wholeSeconds = floor<seconds>(time);
  const auto milliseconds = duration_cast<std::chrono::milliseconds>(time - wholeSeconds).count();
  const std::time_t seconds = system_clock::to_time_t(wholeSeconds);

  std::tm utc{};
  gmtime_r(&seconds, &utc);  // gmtime_r ignores TZ, unlike localtime_r.
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(milliseconds));
  return text;
}

std::string currentTimestamp() { return formatTimestamp(std::chrono::system_clock::now()); }

}  // namespace glimra
