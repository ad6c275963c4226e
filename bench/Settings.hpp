#pragma once

// What a run measures and where: the settings of the three parts and the
// loopback hosts each part uses.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "CpuPinning.hpp"

namespace bench {

// Hosts in 127.0.6.0/24 used by the parts of a run.
inline constexpr int throughputHost = 1;
inline constexpr int latencyHost = 2;
inline constexpr int pingPongHost = 3;
inline constexpr int blockingHost = 4;
inline constexpr int epollHost = 5;
inline constexpr int scaleFirstHost = 11;  // up to 11 + 31 = 42
inline constexpr int maxBoards = 32;

inline std::string loopbackAddress(int host) { return fmt::format("127.0.6.{}", host); }

struct Settings {
  int rounds = 5;
  // Throughput package sizes; every size with 1 and with 8 channels.
  std::vector<std::uint32_t> sizes{144, 1024, 8192, 65535};
  std::uint64_t packageDivisor = 1;  // quick runs send a fraction of the packages
  std::size_t latencySamples = 10000;
  // Latency rounds are short and many, so that a burst of load on the machine
  // falls on all receivers alike rather than on one of them.
  int latencyRounds = 20;
  std::chrono::microseconds latencyInterval{200};
  double scaleWindowSeconds = 1.0;
  std::chrono::seconds roundTimeout{20};
  // Boards and receivers on CPUs of their own (see CpuPinning).
  CpuPinning pinning;
};

}  // namespace bench
