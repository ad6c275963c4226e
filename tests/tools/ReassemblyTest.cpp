// The reassembly of a board's stream from captures built here, frame by
// frame, written as pcapng and read back through libpcap as varnel-board
// --replay reads them: copies, overlaps, order, the sequence-number wrap,
// holes, ends, several conversations, and files that are cut short or are
// no capture at all.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "capture/CaptureReader.hpp"
#include "capture/PcapngWriter.hpp"
#include "capture/StreamReassembler.hpp"
#include "capture/TcpFrame.hpp"

using namespace capture;

namespace {

constexpr std::uint16_t boardPort = 63751;

// A segment of the board's (or the client's) side; `at` counts from the
// board's initial sequence number (the SYN-ACK is at 0, the first byte at 1).
struct Seg {
  std::uint32_t at;
  std::uint8_t flags;
  std::string payload;
  int conversation = 0;
  bool fromBoard = true;
  std::size_t snappedBy = 0;  // bytes the capture's snap length cut off the frame
};

struct Case {
  const char* name;
  std::uint32_t isn;
  std::vector<Seg> segments;
  HolePolicy holes = HolePolicy::Stop;
  bool v6 = false;
  std::size_t flow = 0;
  std::size_t cutShortBy = 0;  // bytes taken off the end of the file
  // expected
  std::string bytes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holeRanges;
  StreamEnd end;
  std::size_t conversations = 1;
  bool startSeen = true;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Seg synAck{0, tcpSyn | tcpAck, ""};

std::string writeCapture(const Case& c, const std::string& path) {
  {
    PcapngWriter file(path, "reassembly test");
    std::vector<std::uint8_t> frame;
    std::int64_t time = 1'700'000'000'000'000'000;
    for (const Seg& s : c.segments) {
      TcpEndpoint board = TcpEndpoint::parse(c.v6 ? "fd00::13:1" : "127.0.13.1", boardPort);
      TcpEndpoint client = TcpEndpoint::parse(c.v6 ? "fd00::13:2" : "127.0.13.2",
                                              static_cast<std::uint16_t>(40000 + s.conversation));
      TcpSegment segment;
      segment.source = s.fromBoard ? board : client;
      segment.destination = s.fromBoard ? client : board;
      segment.seq = c.isn + s.at;
      segment.flags = s.flags;
      segment.payload = {reinterpret_cast<const std::uint8_t*>(s.payload.data()), s.payload.size()};
      frame.clear();
      appendFrame(segment, frame);
      frame.resize(frame.size() - s.snappedBy);
      file.write(time += 1000, frame);
    }
  }
  if (c.cutShortBy != 0) std::filesystem::resize_file(path, std::filesystem::file_size(path) - c.cutShortBy);
  return path;
}

class Reassembly : public ::testing::TestWithParam<Case> {};

TEST_P(Reassembly, PutsTheBoardsStreamTogether) {
  const Case& c = GetParam();
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("varnel-reassembly-" + std::string(c.name) + "-" + std::to_string(::getpid())))
                               .string();
  const CaptureFile file = CaptureReader::read(writeCapture(c, path));
  std::filesystem::remove(path);
  EXPECT_EQ(!file.truncated.empty(), c.cutShortBy != 0) << file.truncated;
  EXPECT_EQ(file.frames.size(), c.segments.size() - (c.cutShortBy != 0));

  StreamReassembler reassembler(boardPort);
  reassembler.addAll(file);
  ASSERT_EQ(reassembler.conversations().size(), c.conversations);
  const BoardStream stream = reassembler.takeStream(c.flow, c.holes);
  EXPECT_EQ(std::string(stream.bytes.begin(), stream.bytes.end()), c.bytes);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holes;
  for (const Hole& h : stream.holes) holes.emplace_back(h.first, h.end);
  EXPECT_EQ(holes, c.holeRanges);
  EXPECT_EQ(stream.stoppedAtHole, c.holes == HolePolicy::Stop && !holes.empty());
  EXPECT_EQ(stream.end, c.end);
  EXPECT_EQ(stream.startSeen, c.startSeen);
  // The pieces cover the bytes in order, at times that never go back.
  std::size_t covered = 0;
  for (std::size_t i = 0; i < stream.pieces.size(); ++i) {
    EXPECT_EQ(stream.pieces[i].offset, covered);
    if (i != 0) {
      EXPECT_GE(stream.pieces[i].timeNs, stream.pieces[i - 1].timeNs);
    }
    covered += stream.pieces[i].size;
  }
  EXPECT_EQ(covered, stream.bytes.size());
}

// "hello world" is bytes 1 to 11 of the board's sequence space.
INSTANTIATE_TEST_SUITE_P(
    Captures, Reassembly,
    ::testing::Values(
        Case{"RetransmittedAndOverlapping",
             1000,
             {synAck,
              {1, tcpAck, "hello "},
              {1, tcpAck, "hello "},
              {4, tcpAck, "lo wor"},
              {7, tcpAck, "world"},
              {12, tcpFin | tcpAck, ""}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "hello world",
             {},
             StreamEnd::Closed},
        Case{"OutOfOrderOverIpv6",
             1000,
             {synAck, {7, tcpAck, "world"}, {12, tcpFin | tcpAck, ""}, {1, tcpAck, "hello "}},
             HolePolicy::Stop,
             true,
             0,
             0,
             "hello world",
             {},
             StreamEnd::Closed},
        Case{"SequenceNumberWrap",
             0xFFFFFFF8u,
             {synAck, {9, tcpAck, "89abcdef"}, {1, tcpAck, "01234567"}, {17, tcpRst | tcpAck, ""}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "0123456789abcdef",
             {},
             StreamEnd::Reset},
        Case{"HoleStops",
             5,
             {synAck, {1, tcpAck, "abc"}, {7, tcpAck, "ghi"}, {10, tcpFin | tcpAck, ""}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "abc",
             {{3, 6}},
             StreamEnd::Closed},
        Case{"HoleSkipped",
             5,
             {synAck, {1, tcpAck, "abc"}, {7, tcpAck, "ghi"}, {14, tcpFin | tcpAck, ""}},
             HolePolicy::Skip,
             false,
             0,
             0,
             "abcghi",
             {{3, 6}, {9, 13}},
             StreamEnd::Closed},
        // The last frame was cut by the snap length and nothing follows it.
        Case{"SnapLengthCutTheLastFrame",
             5,
             {synAck, {1, tcpAck, "hello "}, {7, tcpAck, "world", 0, true, 3}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "hello wo",
             {{8, 11}},
             StreamEnd::Closed},
        Case{"SnapLengthLeftOnlyTheHeadersOfTheLastFrame",
             5,
             {synAck, {1, tcpAck, "hello "}, {7, tcpAck, "world", 0, true, 5}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "hello ",
             {{6, 11}},
             StreamEnd::Closed},
        Case{"SecondOfTwoConversations",
             77,
             {{0, tcpSyn, "", 0, false},
              {0, tcpSyn | tcpAck, "", 0},
              {0, tcpSyn | tcpAck, "", 1},
              {1, tcpAck, "first", 0},
              {1, tcpAck, "second", 1},
              {7, tcpFin | tcpAck, "", 1},
              // A refused connect (the board's port answers with RST) is no conversation.
              {0, tcpSyn, "", 2, false},
              {0, tcpRst | tcpAck, "", 2}},
             HolePolicy::Stop,
             false,
             1,
             0,
             "second",
             {},
             StreamEnd::Closed,
             2},
        // Seen where the board's SYN-ACK was lost after the capture's point.
        Case{"ASynSentAgainIsTheSameConnection",
             300,
             {{0, tcpSyn, "", 0, false},
              synAck,
              {0, tcpSyn, "", 0, false},
              synAck,
              {1, tcpAck, "hello world"},
              {12, tcpFin | tcpAck, ""}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "hello world",
             {},
             StreamEnd::Closed},
        Case{"WithoutTheStartOfTheConnection",
             100,
             {{4, tcpAck, "xyz"}, {1, tcpAck, "uvw"}},
             HolePolicy::Stop,
             false,
             0,
             0,
             "uvwxyz",
             {},
             StreamEnd::Open,
             1,
             false},
        Case{"FileCutShortInsideItsLastFrame",
             1000,
             {synAck, {1, tcpAck, "hello "}, {7, tcpAck, "world"}, {12, tcpFin | tcpAck, ""}},
             HolePolicy::Stop,
             false,
             0,
             10,
             "hello world",
             {},
             StreamEnd::Open}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Reassembly, AFileThatIsNoCaptureIsRefusedWithLibpcapsText) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("varnel-reassembly-text-" + std::to_string(::getpid())))
          .string();
  std::ofstream(path) << "this is not a capture\n";
  try {
    CaptureReader::read(path);
    ADD_FAILURE() << "read a text file as a capture";
  } catch (const CaptureError& e) {
    EXPECT_NE(std::string(e.what()).find("format"), std::string::npos) << e.what();
  }
  std::filesystem::remove(path);
}

}  // namespace
