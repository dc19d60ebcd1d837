#pragma once

#include <chrono>
#include <string>

namespace glimra {

// Timestamps are ISO 8601 internet date-times in UTC with exactly three
// fractional digits and a Z, whatever the process's time zone:
// "2026-12-10T11:55:24.000Z". Events carry them under "capturedAt".
std::string formatTimestamp(std::chrono::system_clock::time_point time);

// The timestamp of this moment.
std::string currentTimestamp();

}  // namespace glimra
