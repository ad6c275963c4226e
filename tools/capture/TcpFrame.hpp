#pragma once

// One TCP segment as an Ethernet frame, with IPv4 or IPv6 and TCP headers
// and correct checksums: what the monitor's capture synthesises around the
// bytes the library received, and what the tests build their captures of.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace capture {

/// TCP flags.
inline constexpr std::uint8_t tcpFin = 0x01;
inline constexpr std::uint8_t tcpSyn = 0x02;
inline constexpr std::uint8_t tcpRst = 0x04;
inline constexpr std::uint8_t tcpPsh = 0x08;
inline constexpr std::uint8_t tcpAck = 0x10;

/// An address, port and (synthesised) Ethernet address of one end.
struct TcpEndpoint {
  bool v6 = false;
  std::array<std::uint8_t, 16> address{};  // IPv4: the first four bytes
  std::uint16_t port = 0;
  std::array<std::uint8_t, 6> mac{0x02, 0, 0, 0, 0, 0};

  /// A numeric IPv4 or IPv6 address (an IPv6 scope suffix "%eth0" is
  /// dropped). Throws std::invalid_argument for anything else.
  static TcpEndpoint parse(const std::string& address, std::uint16_t port);
  /// "address:port", IPv6 in brackets.
  std::string text() const;
};

struct TcpSegment {
  TcpEndpoint source;
  TcpEndpoint destination;
  std::uint32_t seq = 0;
  std::uint32_t ack = 0;
  std::uint8_t flags = 0;
  std::uint16_t ipId = 0;  // IPv4 identification
  std::span<const std::uint8_t> payload;
};

/// The largest payload a frame takes: what fits in an IPv4 packet of
/// 65535 bytes with its headers, and in an IPv6 one alike.
inline constexpr std::size_t maxSegmentPayload = 65535 - 20 - 20;

/// The Ethernet frame of `segment` (both ends of the same family; the
/// payload at most maxSegmentPayload bytes), appended to `out`. Throws
/// std::invalid_argument otherwise.
void appendFrame(const TcpSegment& segment, std::vector<std::uint8_t>& out);
/// The same without the payload: the frame's headers, which the payload
/// follows.
void appendFrameHeaders(const TcpSegment& segment, std::vector<std::uint8_t>& out);

}  // namespace capture
