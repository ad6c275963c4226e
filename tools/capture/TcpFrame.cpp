#include "capture/TcpFrame.hpp"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace capture {

namespace {

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  put16(out, at, value >> 16);
  put16(out, at + 2, value & 0xFFFF);
}

// The ones' complement sum of the big-endian 16-bit words of `data` (an
// odd last byte padded with zero), folded to 16 bits. The words are added
// four bytes at a time in this machine's order, which the sum allows: the
// folded sum of byte-swapped words is the byte-swapped sum.
std::uint32_t sum16(const std::uint8_t* data, std::size_t size) {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    std::uint32_t word;
    std::memcpy(&word, data + i, 4);
    sum += word;
  }
  std::uint8_t tail[4] = {};
  if (size != i) std::memcpy(tail, data + i, size - i);
  std::uint32_t word;
  std::memcpy(&word, tail, 4);
  sum += word;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  auto native = static_cast<std::uint16_t>(sum);
  const std::uint16_t one = 1;
  std::uint8_t first;
  std::memcpy(&first, &one, 1);
  if (first == 1) native = static_cast<std::uint16_t>(native >> 8 | native << 8);  // little-endian machine
  return native;
}

std::uint16_t folded(std::uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace

TcpEndpoint TcpEndpoint::parse(const std::string& address, std::uint16_t port) {
  TcpEndpoint endpoint;
  endpoint.port = port;
  const std::string bare = address.substr(0, address.find('%'));
  if (::inet_pton(AF_INET, bare.c_str(), endpoint.address.data()) == 1) return endpoint;
  if (::inet_pton(AF_INET6, bare.c_str(), endpoint.address.data()) == 1) {
    endpoint.v6 = true;
    return endpoint;
  }
  throw std::invalid_argument("not a numeric IP address: '" + address + "'");
}

std::string TcpEndpoint::text() const {
  char buffer[64] = {};
  ::inet_ntop(v6 ? AF_INET6 : AF_INET, address.data(), buffer, sizeof buffer);
  std::string out;
  out.append(v6 ? "[" : "").append(buffer).append(v6 ? "]:" : ":").append(std::to_string(port));
  return out;
}

void appendFrame(const TcpSegment& s, std::vector<std::uint8_t>& out) {
  appendFrameHeaders(s, out);
  out.insert(out.end(), s.payload.begin(), s.payload.end());
}

void appendFrameHeaders(const TcpSegment& s, std::vector<std::uint8_t>& out) {
  if (s.source.v6 != s.destination.v6)
    throw std::invalid_argument("the two ends of a segment differ in family");
  if (s.payload.size() > maxSegmentPayload) throw std::invalid_argument("segment payload too large");
  const bool v6 = s.source.v6;
  const std::size_t ipSize = v6 ? 40 : 20;
  const std::size_t tcpSize = 20 + s.payload.size();
  const std::size_t start = out.size();
  out.resize(start + 14 + ipSize + 20);
  std::uint8_t* frame = out.data() + start;

  // Ethernet
  std::copy(s.destination.mac.begin(), s.destination.mac.end(), frame);
  std::copy(s.source.mac.begin(), s.source.mac.end(), frame + 6);
  put16(out, start + 12, v6 ? 0x86DD : 0x0800);

  // IP
  const std::size_t ip = start + 14;
  const std::size_t addressSize = v6 ? 16 : 4;
  std::size_t sourceAt = 0;
  if (v6) {
    put32(out, ip, 0x60000000);
    put16(out, ip + 4, static_cast<std::uint32_t>(tcpSize));
    out[ip + 6] = 6;   // TCP
    out[ip + 7] = 64;  // hop limit
    sourceAt = ip + 8;
  } else {
    out[ip] = 0x45;
    put16(out, ip + 2, static_cast<std::uint32_t>(ipSize + tcpSize));
    put16(out, ip + 4, s.ipId);
    put16(out, ip + 6, 0x4000);  // don't fragment
    out[ip + 8] = 64;            // TTL
    out[ip + 9] = 6;             // TCP
    sourceAt = ip + 12;
  }
  std::copy_n(s.source.address.begin(), addressSize, out.begin() + static_cast<std::ptrdiff_t>(sourceAt));
  std::copy_n(s.destination.address.begin(), addressSize,
              out.begin() + static_cast<std::ptrdiff_t>(sourceAt + addressSize));
  if (!v6) put16(out, ip + 10, folded(sum16(out.data() + ip, 20)));

  // TCP
  const std::size_t tcp = ip + ipSize;
  put16(out, tcp, s.source.port);
  put16(out, tcp + 2, s.destination.port);
  put32(out, tcp + 4, s.seq);
  put32(out, tcp + 8, (s.flags & tcpAck) != 0 ? s.ack : 0);
  out[tcp + 12] = 5 << 4;  // 20 bytes, no options
  out[tcp + 13] = s.flags;
  put16(out, tcp + 14, 65535);  // window
  // The checksum covers the pseudo header (both addresses, protocol,
  // length), the header and the payload (of an even size but for the last).
  std::uint64_t sum = sum16(out.data() + sourceAt, 2 * addressSize);
  sum += 6 + tcpSize;
  sum += sum16(out.data() + tcp, 20);
  sum += sum16(s.payload.data(), s.payload.size());
  put16(out, tcp + 16, folded(sum));
}

}  // namespace capture
