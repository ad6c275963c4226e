#include "connection/KeepaliveSettings.hpp"

#include <algorithm>
#include <limits>

namespace {

// The system's limits for the settings (Linux).
constexpr std::uint32_t maxKeepaliveSeconds = 32767;
constexpr std::uint32_t maxKeepaliveProbes = 127;

}  // namespace

KeepaliveSettings keepaliveSettings(std::uint32_t tcpTimeoutSeconds) {
  const std::uint32_t t = std::max<std::uint32_t>(tcpTimeoutSeconds, 1);
  const std::uint32_t idle = std::min<std::uint32_t>(t / 2 + t % 2, maxKeepaliveSeconds);
  const std::uint32_t rest = t > idle ? t - idle : 0;
  const std::uint32_t count = std::clamp<std::uint32_t>(rest, 1, maxKeepaliveProbes);
  const std::uint32_t interval =
      std::clamp<std::uint32_t>(rest / count + (rest % count != 0), 1, maxKeepaliveSeconds);
  // In 64 bits: a long timeout's rest in milliseconds exceeds 32 bits.
  const std::uint64_t tenProbeMs =
      std::clamp<std::uint64_t>(std::uint64_t{rest} * 100, 100, std::numeric_limits<std::uint32_t>::max());
  return {idle, interval, count, static_cast<std::uint32_t>(tenProbeMs)};
}
