#pragma once

// The tools' waits before connecting again to a board whose connection
// failed: 0.1 s, then twice the previous wait, at most 5 s, and back to
// 0.1 s once a connection has brought packages.

#include <algorithm>
#include <chrono>

namespace cli {

class BackOff {
 public:
  using Duration = std::chrono::steady_clock::duration;
  static constexpr Duration first = std::chrono::milliseconds(100);
  static constexpr Duration longest = std::chrono::seconds(5);

  /// The wait before the next try; the one after it is twice as long.
  Duration next() {
    const Duration wait = wait_;
    wait_ = std::min(2 * wait_, longest);
    return wait;
  }
  /// A connection brought packages: the next wait is the first again.
  void reset() { wait_ = first; }

 private:
  Duration wait_ = first;
};

}  // namespace cli
