#include "capture/StreamReassembler.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

#include "capture/TcpFrame.hpp"

namespace capture {

namespace {

// libpcap's DLT_ values of the link types decoded here.
constexpr int linkNull = 0;  // BSD loopback, family in host order
constexpr int linkEthernet = 1;
constexpr int linkRaw = 12;  // raw IP (LINKTYPE_RAW, as libpcap reports it)
constexpr int linkRawOpenBsd = 14;
constexpr int linkRawCommon = 101;
constexpr int linkLoop = 108;  // OpenBSD loopback, family in network order
constexpr int linkLinuxSll = 113;
constexpr int linkIpv4 = 228;
constexpr int linkIpv6 = 229;
constexpr int linkLinuxSll2 = 276;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::string endpointText(bool v6, const std::uint8_t* address, std::uint16_t port) {
  TcpEndpoint endpoint;
  endpoint.v6 = v6;
  std::copy_n(address, v6 ? 16 : 4, endpoint.address.begin());
  endpoint.port = port;
  return endpoint.text();
}

}  // namespace

StreamReassembler::StreamReassembler(std::uint16_t boardPort) : boardPort_(boardPort) {}

void StreamReassembler::addAll(const CaptureFile& file) {
  for (const CapturedFrame& frame : file.frames) add(file.linkType, frame);
}

void StreamReassembler::add(int linkType, const CapturedFrame& frame) {
  const std::uint8_t* p = frame.bytes.data();
  const std::size_t n = frame.bytes.size();
  std::size_t at = 0;
  switch (linkType) {
    case linkEthernet: {
      if (n < 14) return;
      std::uint16_t type = be16(p + 12);
      at = 14;
      for (int tags = 0; tags < 2 && (type == 0x8100 || type == 0x88A8); ++tags) {
        if (n < at + 4) return;
        type = be16(p + at + 2);
        at += 4;
      }
      if (type != 0x0800 && type != 0x86DD) return;
      break;
    }
    case linkNull:
    case linkLoop:
      at = 4;
      break;
    case linkRaw:
    case linkRawOpenBsd:
    case linkRawCommon:
    case linkIpv4:
    case linkIpv6:
      at = 0;
      break;
    case linkLinuxSll:
      at = 16;
      break;
    case linkLinuxSll2:
      at = 20;
      break;
    default:
      throw std::invalid_argument("link type " + std::to_string(linkType) +
                                  " is not decoded (Ethernet, Linux cooked, raw IP and loopback are)");
  }
  if (n < at + 1) return;

  bool v6 = false;
  const std::uint8_t* source = nullptr;
  const std::uint8_t* destination = nullptr;
  std::size_t end = 0;     // end of the IP packet's captured bytes
  std::size_t stated = 0;  // end of the IP packet by its header
  const unsigned version = p[at] >> 4;
  if (version == 4) {
    const std::size_t headerSize = (p[at] & 0x0F) * 4u;
    if (headerSize < 20 || n < at + headerSize) return;
    const std::size_t total = be16(p + at + 2);
    if (p[at + 9] != 6 || total < headerSize) return;
    if ((be16(p + at + 6) & 0x3FFF) != 0) {  // more fragments, or an offset
      ++fragments_;
      return;
    }
    source = p + at + 12;
    destination = p + at + 16;
    stated = at + total;
    end = std::min(n, stated);
    at += headerSize;
  } else if (version == 6) {
    if (n < at + 40) return;
    v6 = true;
    std::uint8_t next = p[at + 6];
    source = p + at + 8;
    destination = p + at + 24;
    stated = at + 40 + be16(p + at + 4);
    end = std::min(n, stated);
    at += 40;
    // Hop-by-hop, routing and destination options come before TCP.
    for (int headers = 0; headers < 8 && (next == 0 || next == 43 || next == 60); ++headers) {
      if (end < at + 2) return;
      const std::size_t size = (p[at + 1] + 1u) * 8u;
      next = p[at];
      at += size;
    }
    if (next == 44) {
      ++fragments_;
      return;
    }
    if (next != 6) return;
  } else {
    return;
  }

  if (end < at + 20) return;
  const std::uint16_t sourcePort = be16(p + at);
  const std::uint16_t destinationPort = be16(p + at + 2);
  const std::size_t headerSize = (p[at + 12] >> 4) * 4u;
  if (headerSize < 20 || end < at + headerSize) return;
  const bool fromBoard = sourcePort == boardPort_;
  if (!fromBoard && destinationPort != boardPort_) return;
  const std::string from = endpointText(v6, source, sourcePort);
  const std::string to = endpointText(v6, destination, destinationPort);
  addSegment(fromBoard ? Key{from, to} : Key{to, from}, fromBoard, frame.timeNs, be32(p + at + 4), p[at + 13],
             p + at + headerSize, end - (at + headerSize), stated - (at + headerSize));
}

void StreamReassembler::addSegment(Key key, bool fromBoard, std::int64_t timeNs, std::uint32_t seq,
                                   std::uint8_t flags, const std::uint8_t* payload, std::size_t payloadSize,
                                   std::size_t statedSize) {
  const bool syn = (flags & tcpSyn) != 0;
  auto found = current_.find(key);
  bool fresh = found == current_.end();
  if (!fresh && syn) {
    // A connection that reuses the ports of an earlier one begins anew.
    const Flow& flow = flows_[found->second];
    // A SYN sent again (its answer was lost after the capture's point)
    // carries the sequence number of the first.
    fresh = fromBoard ? (flow.synAck && flow.isn != seq) || !flow.fromBoard.empty()
                      : flow.listed && flow.clientIsn != seq;
  }
  if (fresh) {
    Flow flow;
    flow.conversation.board = key.first;
    flow.conversation.client = key.second;
    flow.conversation.startNs = timeNs;
    flows_.push_back(std::move(flow));
    current_[key] = flows_.size() - 1;
    found = current_.find(key);
  }
  Flow& flow = flows_[found->second];
  if (!fromBoard) {
    if (syn) flow.clientIsn = seq;
    return;
  }
  if (syn) {
    flow.synAck = true;
    flow.isn = seq;
    flow.synAckNs = timeNs;
    flow.listed = true;
    return;
  }
  const bool fin = (flags & tcpFin) != 0;
  const bool rst = (flags & tcpRst) != 0;
  // A bare acknowledgement; a segment whose bytes the snap length cut off
  // whole is kept, to show where they were.
  if (statedSize == 0 && !fin && !rst) return;
  if (statedSize != 0 || fin) flow.listed = true;
  if (payloadSize != 0) {
    flow.conversation.boardBytes += payloadSize;
    ++flow.conversation.boardSegments;
  }
  flow.fromBoard.push_back(
      Segment{timeNs, seq, flags, std::vector<std::uint8_t>(payload, payload + payloadSize), statedSize});
}

std::vector<Conversation> StreamReassembler::conversations() const {
  std::vector<Conversation> listed;
  for (const Flow& flow : flows_) {
    if (flow.listed) listed.push_back(flow.conversation);
  }
  return listed;
}

BoardStream StreamReassembler::takeStream(std::size_t index, HolePolicy holes) {
  Flow* flow = nullptr;
  for (Flow& f : flows_) {
    if (f.listed && index-- == 0) {
      flow = &f;
      break;
    }
  }
  if (flow == nullptr) throw std::out_of_range("no such conversation");
  BoardStream out;
  out.startSeen = flow->synAck;

  // Positions in the board's sequence space, on 64 bits: each segment's
  // number is taken relative to the one before it (in capture order),
  // which is never 2^31 away, so the 32-bit wrap drops out.
  auto& segments = flow->fromBoard;
  std::vector<std::int64_t> position(segments.size());
  std::uint32_t anchorSeq = flow->synAck ? flow->isn : (segments.empty() ? 0 : segments.front().seq);
  std::int64_t anchor = 0;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    position[i] = anchor + static_cast<std::int32_t>(segments[i].seq - anchorSeq);
    if ((segments[i].flags & tcpRst) == 0) {  // a reset's number may be anything
      anchorSeq = segments[i].seq;
      anchor = position[i];
    }
  }

  std::vector<std::size_t> data;      // segments with payload, in stream order
  std::optional<std::size_t> ending;  // the first FIN or RST
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (!segments[i].payload.empty()) data.push_back(i);
    if (!ending && (segments[i].flags & (tcpFin | tcpRst)) != 0) ending = i;
  }
  std::stable_sort(data.begin(), data.end(),
                   [&](std::size_t a, std::size_t b) { return position[a] < position[b]; });
  const std::size_t endingSize = ending ? segments[*ending].payload.size() : 0;
  out.bytes.reserve(flow->conversation.boardBytes);

  std::int64_t start = 1;  // the SYN takes one number
  if (!flow->synAck) {
    start = data.empty() ? (ending ? position[*ending] : 0) : position[data.front()];
  }
  std::int64_t next = start;
  std::int64_t lastTime = flow->synAck ? flow->synAckNs : std::numeric_limits<std::int64_t>::min();
  auto hole = [&](std::int64_t until) {
    out.holes.push_back(
        Hole{static_cast<std::uint64_t>(next - start), static_cast<std::uint64_t>(until - start)});
    if (holes == HolePolicy::Stop) out.stoppedAtHole = true;
    next = until;
  };
  for (std::size_t i : data) {
    Segment& s = segments[i];
    const std::int64_t first = position[i];
    const std::int64_t last = first + static_cast<std::int64_t>(s.payload.size());
    if (last <= next) continue;  // captured before: a retransmission or a copy
    if (first > next) {
      hole(first);
      if (out.stoppedAtHole) break;
    }
    const auto skip = static_cast<std::size_t>(next - first);
    StreamPiece piece;
    piece.timeNs = std::max(lastTime, s.timeNs);
    piece.offset = out.bytes.size();
    piece.size = s.payload.size() - skip;
    out.bytes.insert(out.bytes.end(), s.payload.begin() + static_cast<std::ptrdiff_t>(skip), s.payload.end());
    std::vector<std::uint8_t>().swap(s.payload);  // taken
    out.pieces.push_back(piece);
    lastTime = piece.timeNs;
    next = last;
  }
  // The bytes the snap length cut off the last frames: a later segment
  // would have shown them as a hole, and so does the end of the capture.
  std::int64_t statedEnd = next;  // where the board's segments end by their IP headers
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if ((segments[i].flags & tcpRst) == 0) {
      statedEnd = std::max(statedEnd, position[i] + static_cast<std::int64_t>(segments[i].statedSize));
    }
  }
  if (!out.stoppedAtHole && statedEnd > next) hole(statedEnd);
  if (ending && !out.stoppedAtHole) {
    const Segment& s = segments[*ending];
    const bool reset = (s.flags & tcpRst) != 0;
    const std::int64_t at = position[*ending] + static_cast<std::int64_t>(endingSize);
    if (!reset && at > next) hole(at);  // the FIN comes after bytes the capture missed
    if (!out.stoppedAtHole) {
      out.end = reset ? StreamEnd::Reset : StreamEnd::Closed;
      out.endNs = std::max(lastTime, s.timeNs);
    }
  }
  if (out.stoppedAtHole) {
    out.end = StreamEnd::Closed;
    out.endNs = lastTime;
  }
  if (flow->synAck) {
    out.startNs = flow->synAckNs;
  } else if (!out.pieces.empty()) {
    out.startNs = out.pieces.front().timeNs;
  } else if (ending) {
    out.startNs = segments[*ending].timeNs;
  }
  if (out.endNs == std::numeric_limits<std::int64_t>::min()) out.endNs = out.startNs;
  return out;
}

}  // namespace capture
