#pragma once

// Bounded waiting for the tests. Deadlines are upper bounds that only a
// fault reaches; VARNEL_TEST_TIME_SCALE (at least 1) stretches them for slow
// runs such as valgrind's.

#include <chrono>
#include <cstdlib>
#include <thread>

namespace support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double timeScale() {
  static const double scale = [] {
    const char* text = std::getenv("VARNEL_TEST_TIME_SCALE");
    const double value = text != nullptr ? std::atof(text) : 1.0;
    return value >= 1.0 ? value : 1.0;
  }();
  return scale;
}

inline Clock::duration scaled(Clock::duration d) {
  return std::chrono::duration_cast<Clock::duration>(d * timeScale());
}

// Polls `condition` until it holds or the (scaled) time-out has passed.
template <typename Condition>
bool eventually(Condition condition, Clock::duration timeout = 10s) {
  const auto deadline = Clock::now() + scaled(timeout);
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

}  // namespace support
