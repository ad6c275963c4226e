#pragma once

// The monitor's settings, as its command line gives them (main.cpp).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace monitor {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string address;
  std::vector<std::string> addresses;  // numeric, what `address` resolved to
  std::optional<std::uint32_t> packageCounter;
  std::optional<std::uint32_t> waitMs;
  std::optional<std::uint32_t> tcpTimeout;
  std::optional<Clock::duration> duration;
  std::uint64_t count = 0;
  Clock::duration retry{0};
  bool reconnect = false;
  std::string record;
  std::string capture;
  bool quiet = false;
  bool help = false;
};

}  // namespace monitor
