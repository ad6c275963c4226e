#pragma once

// The clocks of the benchmark: steady_clock for durations, CLOCK_MONOTONIC
// in nanoseconds for send times that cross from one process to another.
// Inline, as they run once per package in the measured loops.

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace bench {

using Clock = std::chrono::steady_clock;

inline std::uint64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

inline void sleepUntilNs(std::uint64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000ull);
  ts.tv_nsec = static_cast<long>(ns % 1'000'000'000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

inline double secondsSince(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace bench
