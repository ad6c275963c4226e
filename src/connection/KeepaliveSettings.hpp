#pragma once

// How a connection asks the system to probe an idle link, from the TCP
// timeout. The library only reads, so a board that vanishes (power off,
// cable pulled) leaves a connection that simply stays quiet. Keepalive
// probes turn that into a read error: the first probe after `idle` seconds
// without a byte, then `count` probes `interval` seconds apart, which adds
// up to about the TCP timeout t (never less, at most 2t + 2 s, within the
// system's limits). A board that is alive answers the probes, also while it
// sends nothing.

#include <cstdint>

struct KeepaliveSettings {
  std::uint32_t idleSeconds;      // quiet time before the first probe
  std::uint32_t intervalSeconds;  // between two probes
  std::uint32_t probeCount;       // unanswered probes before the link counts as dead
  // For systems that take only an interval and send ten probes (older
  // Windows): a tenth of the time after the first probe, at least 100 ms.
  std::uint32_t tenProbeIntervalMs;

  bool operator==(const KeepaliveSettings&) const = default;
};

// The settings for a TCP timeout of `tcpTimeoutSeconds` (0 counts as 1).
KeepaliveSettings keepaliveSettings(std::uint32_t tcpTimeoutSeconds);
