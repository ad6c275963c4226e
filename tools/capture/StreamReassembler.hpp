#pragma once

// Finds the TCP conversations with a board in captured frames and puts the
// board's byte stream of one of them together by sequence number: copies
// that were captured twice (retransmissions, overlaps) count once,
// segments captured out of order are put in order, the 32-bit sequence
// numbers are followed across their wrap, and bytes the capture missed
// are reported as holes, at which the stream ends or goes on.
//
// Frames of Ethernet (with VLAN tags), Linux cooked capture (v1 and v2),
// raw IP and BSD loopback are decoded; IPv4 and IPv6. Fragmented IP
// packets are not put together: their bytes are holes.
//
// A conversation is one connection between a board (the end at the board
// port) and a client; only those in which the board answered the connect
// or sent data are listed (a refused connect is none).

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/CaptureReader.hpp"

namespace capture {

struct Conversation {
  std::string board;             // "address:port"
  std::string client;            // likewise
  std::int64_t startNs = 0;      // the first frame of the connection
  std::uint64_t boardBytes = 0;  // payload from the board, copies included
  std::uint64_t boardSegments = 0;
};

/// Bytes of the board's stream that the capture missed: offsets from the
/// stream's first byte, `end` not included.
struct Hole {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
};

enum class StreamEnd {
  Open,    // the capture ends with the connection open
  Closed,  // the board closed it (FIN) after the last byte
  Reset    // the board reset it (RST)
};

enum class HolePolicy {
  Stop,  // the stream ends at the first hole (and is closed there)
  Skip   // the bytes after a hole follow those before it
};

/// Bytes of the stream that arrived together.
struct StreamPiece {
  std::int64_t timeNs = 0;  // when the last of them arrived
  std::size_t offset = 0;   // into BoardStream::bytes
  std::size_t size = 0;
};

struct BoardStream {
  std::vector<std::uint8_t> bytes;
  std::vector<StreamPiece> pieces;  // in order, covering `bytes`
  std::int64_t startNs = 0;         // the connection's start (the board's SYN-ACK, else the first byte)
  std::vector<Hole> holes;
  bool stoppedAtHole = false;  // HolePolicy::Stop ended the stream at holes.front()
  bool startSeen = false;      // the board's SYN-ACK was captured: the stream starts at its first byte
  StreamEnd end = StreamEnd::Open;
  std::int64_t endNs = 0;  // when the board closed or reset the connection
};

class StreamReassembler {
 public:
  explicit StreamReassembler(std::uint16_t boardPort);

  /// Decodes one frame of `linkType` (libpcap's DLT_ value). Frames that
  /// are not TCP to or from the board port are skipped. Throws
  /// std::invalid_argument for a link type it does not decode.
  void add(int linkType, const CapturedFrame& frame);
  /// Every frame of the file.
  void addAll(const CaptureFile& file);

  /// The conversations with the board, in the order they began.
  std::vector<Conversation> conversations() const;
  /// Takes the board's stream of conversation `index` (of conversations())
  /// out: its captured segments are released as they are copied, so that
  /// a large capture is held about once. Once per conversation.
  BoardStream takeStream(std::size_t index, HolePolicy holes);

  /// Frames skipped because they were fragments of an IP packet.
  std::uint64_t fragments() const { return fragments_; }

 private:
  struct Segment {
    std::int64_t timeNs;
    std::uint32_t seq;
    std::uint8_t flags;
    std::vector<std::uint8_t> payload;
    // What the IP header says the payload was: more than was captured
    // where the capture's snap length cut the frame.
    std::size_t statedSize;
  };
  struct Flow {
    Conversation conversation;
    bool synAck = false;
    std::uint32_t isn = 0;
    std::int64_t synAckNs = 0;
    std::optional<std::uint32_t> clientIsn;  // of the client's SYN
    bool listed = false;                     // the board answered or sent data
    std::vector<Segment> fromBoard;
  };
  // The board's end and the client's, as "address:port".
  using Key = std::pair<std::string, std::string>;

  void addSegment(Key key, bool fromBoard, std::int64_t timeNs, std::uint32_t seq, std::uint8_t flags,
                  const std::uint8_t* payload, std::size_t payloadSize, std::size_t statedSize);

  std::uint16_t boardPort_;
  std::vector<Flow> flows_;
  std::map<Key, std::size_t> current_;  // the latest flow of each key
  std::uint64_t fragments_ = 0;
};

}  // namespace capture
